#include "workbench_menus.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>

#include <map>
#include <tuple>

#include "binding.h"
#include "bound_controls.h"
#include "device/configuration.h"
#include "device/device_session.h"
#include "device/workbench.h"
#include "form.h"
#include "mainwindow.h"
#include "register_map_window.h"
#include "registers/register_map.h"
#include "telemetry_window.h"

using namespace evalpanel;

namespace {

// The main window's selectors by the one-segment field they show, so that
// the map can show a field's value as the selector's item text.
RegisterMapWindow::ItemText selector_texts(const BoundControls &controls) {
    std::map<std::tuple<int, int, int>, std::pair<QComboBox *, ControlBinding>> selectors;
    for (QComboBox *combo : controls.combos()) {
        const ControlBinding b = decode_binding(combo->objectName());
        if (b.is_register() && !b.two_segments)
            selectors.emplace(std::make_tuple(b.field.reg, b.field.high, b.field.low),
                              std::make_pair(combo, b));
    }
    return [selectors](const FieldInfo &f, unsigned value) {
        if (f.segments.size() != 1)
            return QString();
        const auto &s = f.segments[0];
        const auto it = selectors.find({static_cast<int>(s.address), s.high, s.low});
        if (it == selectors.end())
            return QString();
        const int item = item_for_value(it->second.second, value);
        QComboBox *combo = it->second.first;
        return item >= 0 && item < combo->count() ? combo->itemText(item) : QString();
    };
}

void save_configuration(MainWindow &w) {
    const QString path = QFileDialog::getSaveFileName(&w, QStringLiteral("Save Registers"),
                                                      QString(), QStringLiteral("Scripts (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    const SaveResult r = save_registers(w.session(), path);
    if (r.registers < 0) {
        QMessageBox::warning(&w, QStringLiteral("Save Registers"), r.error);
        return;
    }
    w.append_command_log(QStringLiteral("saved %1 registers to %2").arg(r.registers).arg(path));
}

void load_configuration(MainWindow &w) {
    const QString path = QFileDialog::getOpenFileName(&w, QStringLiteral("Load Registers"),
                                                      QString(), QStringLiteral("Scripts (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    if (QMessageBox::question(&w, QStringLiteral("Load Registers"),
                              QStringLiteral("Write the registers of %1 into the chip?").arg(path)) !=
        QMessageBox::Yes)
        return;
    const LoadResult r = load_registers(w.session(), path);
    if (r.registers > 0 || r.error.isEmpty())
        Workbench::of(w.session()).set_loaded_configuration(r.plan);
    if (!r.error.isEmpty()) {
        QMessageBox::warning(&w, QStringLiteral("Load Registers"), r.error);
        return;
    }
    w.append_command_log(QStringLiteral("loaded %1 registers from %2").arg(r.registers).arg(path));
    if (!r.not_taken.isEmpty())
        QMessageBox::warning(&w, QStringLiteral("Load Registers"),
                             QStringLiteral("These registers did not take:\n") +
                                 r.not_taken.join(QLatin1Char('\n')));
}

void toggle_recording(MainWindow &w, QAction *action) {
    Workbench &bench = Workbench::of(w.session());
    if (bench.recorder().recording()) {
        bench.stop_recording();
        return;
    }
    action->setChecked(false);
    const QString path = QFileDialog::getSaveFileName(&w, QStringLiteral("Record Telemetry"),
                                                      QString(), QStringLiteral("CSV (*.csv);;All files (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!bench.start_recording(path, &error))
        QMessageBox::warning(&w, QStringLiteral("Record Telemetry"), error);
}

void show_window(QWidget *window) {
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

WorkbenchWindows install_workbench(MainWindow &w) {
    Ui::MainWindow *ui = w.form();
    Workbench &bench = Workbench::of(w.session());
    WorkbenchWindows windows;
    windows.register_map = new RegisterMapWindow(
        w.session(), selector_texts(w.controls()),
        [&w](const QString &line) { w.append_command_log(line); }, &w);
    windows.telemetry = new TelemetryWindow(bench, &w);

    // File: the two existing actions and the recording, above "Exit".
    QAction *record = new QAction(QStringLiteral("Record Telemetry\u2026"), &w);
    record->setCheckable(true);
    QAction *before = ui->menuFile->actions().value(0); // the separator above "Exit"
    ui->menuFile->insertActions(before, {ui->actionLoad_Registers, ui->actionSave_Registers, record});
    QObject::connect(ui->actionSave_Registers, &QAction::triggered, &w, [&w] { save_configuration(w); });
    QObject::connect(ui->actionLoad_Registers, &QAction::triggered, &w, [&w] { load_configuration(w); });
    QObject::connect(record, &QAction::triggered, &w, [&w, record] { toggle_recording(w, record); });
    QObject::connect(&bench, &Workbench::recording_changed, record,
                     [&w, record](bool on, const QString &message) {
                         record->setChecked(on);
                         w.append_command_log(message);
                     });

    QAction *map = ui->menuTools->addAction(QStringLiteral("Register Map"));
    map->setShortcut(QKeySequence(QStringLiteral("Ctrl+M")));
    QObject::connect(map, &QAction::triggered, &w, [windows] { show_window(windows.register_map); });
    QAction *telemetry = ui->menuView->addAction(QStringLiteral("Telemetry"));
    telemetry->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
    QObject::connect(telemetry, &QAction::triggered, &w, [windows] { show_window(windows.telemetry); });
    return windows;
}
