#include "workbench_menus.h"

#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>

#include "binding.h"
#include "bound_controls.h"
#include "device/configuration.h"
#include "device/session_log.h"
#include "device/session_view.h"
#include "device/workbench.h"
#include "form.h"
#include "mainwindow.h"
#include "registers/register_map.h"
#include "windows/register_map_window.h"
#include "windows/export_file.h"
#include "windows/power_up_window.h"
#include "windows/telemetry_window.h"

using namespace evalpanel;

namespace {

// The main window's selectors by the one-segment field they show, so that
// the map can show a field's value as the selector's item text. A field of
// another buck than the one the window has a selector for ("VSET_B3" beside
// Buck0's "VSET_B0") takes the items of that buck's selector, when the two
// fields are alike in width.
FieldText selector_texts(const BoundControls &controls) {
    using Selector = std::pair<QComboBox *, ControlBinding>;
    std::map<std::tuple<int, int, int>, Selector> selectors;
    for (QComboBox *combo : controls.combos()) {
        const ControlBinding b = decode_binding(combo->objectName());
        if (b.is_register() && !b.two_segments)
            selectors.emplace(std::make_tuple(b.field.reg, b.field.high, b.field.low),
                              std::make_pair(combo, b));
    }
    const auto own = [selectors](const FieldInfo &f) -> const Selector * {
        if (f.segments.size() != 1)
            return nullptr;
        const auto &s = f.segments[0];
        const auto it = selectors.find({static_cast<int>(s.address), s.high, s.low});
        return it == selectors.end() ? nullptr : &it->second;
    };
    // Field name -> the selector that shows it or a sibling of another buck.
    std::map<QString, Selector> by_field;
    const RegisterMap &map = register_map();
    static const QRegularExpression buck(QStringLiteral("_B[0-5]$"));
    for (const FieldInfo &f : map.fields) {
        if (const Selector *s = own(f)) {
            by_field.emplace(f.name, *s);
            continue;
        }
        if (f.segments.size() != 1 || !buck.match(f.name).hasMatch())
            continue;
        for (int k = 0; k < kBuckCount; ++k) {
            const FieldInfo *sibling =
                map.field_named(f.name.left(f.name.size() - 1) + QString::number(k));
            const Selector *s = sibling ? own(*sibling) : nullptr;
            if (s != nullptr && sibling->width == f.width) {
                by_field.emplace(f.name, *s);
                break;
            }
        }
    }
    return [by_field](const FieldInfo &f, unsigned value) {
        const auto it = by_field.find(f.name);
        if (it == by_field.end())
            return QString();
        const int item = item_for_value(it->second.second, value);
        QComboBox *combo = it->second.first;
        return item >= 0 && item < combo->count() ? combo->itemText(item) : QString();
    };
}

// Saving and exporting: the dialogs ask first; the file and the chip are
// then one job on the device thread, whose result comes back to the window.
void write_configuration(MainWindow &w, bool c_header) {
    const QString title = c_header ? QStringLiteral("Export Registers as C Header")
                                   : QStringLiteral("Save Registers");
    // The header's names (guard, array, count, addresses) start with a
    // prefix of the user's choosing, so that two boards' headers can meet.
    QString prefix = QStringLiteral("RX5120");
    if (c_header) {
        bool ok = false;
        prefix = QInputDialog::getText(&w, title,
                                       QStringLiteral("Prefix of the names in the header (a C "
                                                      "name: letters, digits and _):"),
                                       QLineEdit::Normal, prefix, &ok)
                     .trimmed();
        if (!ok)
            return;
        if (c_prefix(prefix).isEmpty()) {
            QMessageBox::warning(&w, title,
                                 QStringLiteral("\"%1\" is no C name: use letters, digits and _, "
                                                "not starting with a digit.")
                                     .arg(prefix));
            return;
        }
    }
    const QString path = with_suffix(
        QFileDialog::getSaveFileName(&w, title, QString(),
                                     c_header ? QStringLiteral("C headers (*.h);;All files (*)")
                                              : QStringLiteral("Scripts (*.txt);;All files (*)")),
        c_header ? "h" : "txt");
    if (path.isEmpty())
        return;
    w.view().ask(
        [path, c_header, prefix](DeviceSession &s) {
            return c_header ? export_registers(s, path, prefix) : save_registers(s, path);
        },
        &w,
        [&w, path, title, c_header](const SaveResult &r) {
            if (r.registers < 0) {
                w.append_command_log(QStringLiteral("%1 failed: %2").arg(title, r.error));
                QMessageBox::warning(&w, title, r.error);
                return;
            }
            w.append_command_log(QStringLiteral("%1 %2 registers to %3")
                                     .arg(c_header ? QStringLiteral("exported")
                                                   : QStringLiteral("saved"))
                                     .arg(r.registers)
                                     .arg(path));
        });
}

// The fields that differ, one row each: name, the two sides' values in
// their units; sorts by any column.
QTableWidget *difference_table(QWidget *parent, const std::vector<FieldDifference> &rows,
                               const QString &a, const QString &b) {
    auto *table = new QTableWidget(static_cast<int>(rows.size()), 3, parent);
    table->setHorizontalHeaderLabels({QStringLiteral("Field"), a, b});
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->hide();
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const FieldDifference &d = rows[static_cast<size_t>(i)];
        auto *name = new QTableWidgetItem(d.field);
        name->setData(Qt::UserRole, d.a_value);
        table->setItem(i, 0, name);
        table->setItem(i, 1, new QTableWidgetItem(d.a));
        table->setItem(i, 2, new QTableWidgetItem(d.b));
    }
    // In register order until a header is clicked.
    table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    table->setSortingEnabled(true);
    table->resizeColumnsToContents();
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

// The fields that differ as a table that sorts by any column; against the
// chip, the selected rows' file values can be written ("Apply selected").
void show_comparison(MainWindow &w, const QString &a, const QString &b, const CompareResult &r,
                     bool with_chip) {
    const QString title = QStringLiteral("Compare Configurations");
    auto *dialog = new QDialog(&w);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(title);
    auto *layout = new QVBoxLayout(dialog);
    auto *summary = new QLabel(
        r.rows.empty() ? QStringLiteral("%1 and %2 set the same values.").arg(a, b)
                       : QStringLiteral("%1 %2 between %3 and %4.")
                             .arg(r.rows.size())
                             .arg(r.rows.size() == 1 ? QStringLiteral("field differs")
                                                     : QStringLiteral("fields differ"),
                                  a, b),
        dialog);
    summary->setWordWrap(true);
    layout->addWidget(summary);
    QTableWidget *table = difference_table(dialog, r.rows, QFileInfo(a).fileName(),
                                           with_chip ? b : QFileInfo(b).fileName());
    layout->addWidget(table, 1);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    if (with_chip && !r.rows.empty()) {
        QPushButton *apply = buttons->addButton(QStringLiteral("Apply selected"),
                                                QDialogButtonBox::ActionRole);
        apply->setToolTip(QStringLiteral("Writes the file's values of the selected fields into the chip"));
        apply->setEnabled(false);
        QObject::connect(table, &QTableWidget::itemSelectionChanged, apply,
                         [table, apply] { apply->setEnabled(!table->selectedItems().isEmpty()); });
        QObject::connect(apply, &QPushButton::clicked, dialog, [&w, table, summary] {
            std::vector<std::pair<QString, unsigned>> fields;
            QStringList partial;
            for (const QModelIndex &row : table->selectionModel()->selectedRows()) {
                QTableWidgetItem *item = table->item(row.row(), 0);
                const int value = item->data(Qt::UserRole).toInt();
                if (value >= 0)
                    fields.emplace_back(item->text(), static_cast<unsigned>(value));
                else
                    partial << item->text();
            }
            if (!partial.isEmpty())
                summary->setText(QStringLiteral("Not applied (the file sets no whole value): %1")
                                     .arg(partial.join(QStringLiteral(", "))));
            if (fields.empty())
                return;
            w.view().ask([fields](DeviceSession &s) { return apply_fields(s, fields); }, summary,
                         [summary, table, fields, partial](const QStringList &failed) {
                             // The chip now holds the file's value of each field written.
                             for (int row = 0; row < table->rowCount(); ++row) {
                                 const QString name = table->item(row, 0)->text();
                                 const bool written =
                                     !failed.contains(name) &&
                                     std::any_of(fields.begin(), fields.end(),
                                                 [&name](const auto &f) { return f.first == name; });
                                 if (written)
                                     table->item(row, 2)->setText(table->item(row, 1)->text() +
                                                                  QStringLiteral(" applied"));
                             }
                             QString text = QStringLiteral("Applied %1 of %2 fields.")
                                                .arg(fields.size() - static_cast<size_t>(failed.size()))
                                                .arg(fields.size());
                             if (!failed.isEmpty())
                                 text += QStringLiteral(" Not written: ") + failed.join(QStringLiteral(", "));
                             if (!partial.isEmpty())
                                 text += QStringLiteral(" Not applied (the file sets no whole "
                                                        "value): ") +
                                         partial.join(QStringLiteral(", "));
                             summary->setText(text);
                         });
        });
    }
    layout->addWidget(buttons);
    dialog->resize(720, 420);
    dialog->show();
}

// Two files, or a file against the chip (read live on the device thread);
// the fields that differ are shown as a table.
void compare_configurations(MainWindow &w) {
    const QString title = QStringLiteral("Compare Configurations");
    const QString filter = QStringLiteral("Scripts (*.txt);;All files (*)");
    const QString first = QFileDialog::getOpenFileName(&w, title, QString(), filter);
    if (first.isEmpty())
        return;
    QMessageBox choice(QMessageBox::Question, title,
                       QStringLiteral("Compare %1 with:").arg(first), QMessageBox::Cancel, &w);
    QPushButton *file_button = choice.addButton(QStringLiteral("Another File\u2026"),
                                                QMessageBox::AcceptRole);
    QPushButton *chip_button = choice.addButton(QStringLiteral("The Chip"), QMessageBox::AcceptRole);
    choice.exec();
    const auto show = [&w, title](const QString &a, const QString &b, const CompareResult &r,
                                  bool with_chip) {
        if (!r.error.isEmpty()) {
            w.append_command_log(QStringLiteral("%1 failed: %2").arg(title, r.error));
            QMessageBox::warning(&w, title, r.error);
            return;
        }
        w.append_command_log(QStringLiteral("compared %1 with %2: %3 differing")
                                 .arg(a, b)
                                 .arg(r.differences.size()));
        show_comparison(w, a, b, r, with_chip);
    };
    if (choice.clickedButton() == file_button) {
        const QString second = QFileDialog::getOpenFileName(&w, title, QString(), filter);
        if (second.isEmpty())
            return;
        // Two files are read in the program's own time, never the GUI's.
        w.view().ask([first, second](DeviceSession &) { return compare_files(first, second); },
                     &w, [show, first, second](const CompareResult &r) {
                         show(first, second, r, false);
                     });
    } else if (choice.clickedButton() == chip_button) {
        w.view().ask([first](DeviceSession &s) { return compare_with_chip(s, first); }, &w,
                     [show, first](const CompareResult &r) {
                         show(first, QStringLiteral("the chip"), r, true);
                     });
    }
}

void confirm_load(MainWindow &w, const QString &path, const std::vector<FieldDifference> &changes,
                  const std::function<void(const QString &)> &refuse);

// The file is checked and compared with the chip first: the question shows
// what would change, and a file with errors is refused before anything is
// asked or written.
void load_configuration(MainWindow &w) {
    const QString title = QStringLiteral("Load Registers");
    const QString path = QFileDialog::getOpenFileName(&w, title, QString(),
                                                      QStringLiteral("Scripts (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    const auto refuse = [&w, title](const QString &error) {
        w.append_command_log(QStringLiteral("%1 failed: %2").arg(title, error));
        QMessageBox::warning(&w, title, error);
    };
    w.view().ask([path](DeviceSession &s) { return compare_with_chip(s, path); }, &w,
                 [&w, path, title, refuse](const CompareResult &preview) {
                     if (!preview.error.isEmpty()) {
                         refuse(preview.error);
                         return;
                     }
                     confirm_load(w, path, preview.rows, refuse);
                 });
}

void confirm_load(MainWindow &w, const QString &path, const std::vector<FieldDifference> &changes,
                  const std::function<void(const QString &)> &refuse) {
    const QString title = QStringLiteral("Load Registers");
    // What would change, field by field in units, above the question.
    QDialog ask(&w);
    ask.setWindowTitle(title);
    auto *layout = new QVBoxLayout(&ask);
    auto *question = new QLabel(
        changes.empty()
            ? QStringLiteral("%1 sets the values the chip has already. Write its "
                             "registers into the chip?")
                  .arg(path)
            : QStringLiteral("Writing %1 into the chip changes %2 %3 (file | chip). "
                             "Write it?")
                  .arg(path)
                  .arg(changes.size())
                  .arg(changes.size() == 1 ? QStringLiteral("field") : QStringLiteral("fields")),
        &ask);
    question->setWordWrap(true);
    layout->addWidget(question);
    if (!changes.empty())
        layout->addWidget(difference_table(&ask, changes, QStringLiteral("file"),
                                           QStringLiteral("chip")),
                          1);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Yes | QDialogButtonBox::No, &ask);
    buttons->button(QDialogButtonBox::No)->setDefault(true);
    buttons->button(QDialogButtonBox::No)->setFocus();
    QObject::connect(buttons, &QDialogButtonBox::accepted, &ask, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &ask, &QDialog::reject);
    layout->addWidget(buttons);
    ask.resize(620, changes.empty() ? 120 : 360);
    if (ask.exec() != QDialog::Accepted)
        return;
    Workbench *bench = &w.workbench();
    w.view().ask(
        [path, bench](DeviceSession &s) {
            const LoadResult r = load_registers(s, path);
            if (r.registers > 0 || r.error.isEmpty())
                bench->set_loaded_configuration(r.plan);
            return r;
        },
        &w,
        [&w, path, title, refuse](const LoadResult &r) {
            for (const QString &warning : r.warnings)
                w.append_command_log(QStringLiteral("load_registers: warning: %1").arg(warning));
            if (!r.error.isEmpty()) {
                refuse((r.warnings + QStringList{r.error}).join(QLatin1Char('\n')));
                return;
            }
            if (!r.warnings.isEmpty())
                QMessageBox::warning(&w, title, r.warnings.join(QLatin1Char('\n')));
            w.append_command_log(
                QStringLiteral("loaded %1 registers from %2").arg(r.registers).arg(path));
            if (!r.not_taken.isEmpty())
                QMessageBox::warning(&w, title,
                                     QStringLiteral("These registers did not take:\n") +
                                         r.not_taken.join(QLatin1Char('\n')));
        });
}

// The action's check mark follows the recording (recording_changed); a
// click stops a running one or asks for a file and starts one.
void toggle_recording(MainWindow &w, QAction *action) {
    Workbench *bench = &w.workbench();
    if (!action->isChecked()) {
        // The mark was on: the click stops the recording.
        action->setChecked(true);
        w.view().post([bench](DeviceSession &) { bench->stop_recording(); });
        return;
    }
    action->setChecked(false);
    // A time-stamped name by default, and the suffix when none is typed.
    const QString path = with_suffix(
        QFileDialog::getSaveFileName(
            &w, QStringLiteral("Record Telemetry"),
            QStringLiteral("recording-%1.csv")
                .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))),
            QStringLiteral("CSV (*.csv);;All files (*)")),
        "csv");
    if (path.isEmpty())
        return;
    w.view().ask(
        [bench, path](DeviceSession &) {
            QString error;
            return bench->start_recording(path, &error) ? QString() : error;
        },
        &w,
        [&w](const QString &error) {
            if (!error.isEmpty()) {
                w.append_command_log(QStringLiteral("Record Telemetry failed: %1").arg(error));
                QMessageBox::warning(&w, QStringLiteral("Record Telemetry"), error);
            }
        });
}

void show_window(QWidget *window) {
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

WorkbenchWindows install_workbench(MainWindow &w) {
    Ui::MainWindow *ui = w.form();
    Workbench &bench = w.workbench();
    WorkbenchWindows windows;
    const FieldText texts = selector_texts(w.controls());
    windows.register_map = new RegisterMapWindow(
        w.view(), bench,
        [&w](const QString &line) { w.append_command_log(line); },
        [&w] { return w.auto_write(); }, &w);
    windows.telemetry = new TelemetryWindow(w.view(), bench, &w);
    windows.power_up = new PowerUpWindow(w.view(), bench, texts, &w);

    // File: the two existing actions and the recording, above "Exit".
    QAction *record = new QAction(QStringLiteral("Record Telemetry\u2026"), &w);
    record->setCheckable(true);
    QAction *exported = new QAction(QStringLiteral("Export Registers as C Header\u2026"), &w);
    QAction *compare = new QAction(QStringLiteral("Compare Configurations\u2026"), &w);
    QAction *before = ui->menuFile->actions().value(0); // the separator above "Exit"
    ui->menuFile->insertActions(before, {ui->actionLoad_Registers, ui->actionSave_Registers,
                                         exported, compare, record});
    QObject::connect(ui->actionSave_Registers, &QAction::triggered, &w,
                     [&w] { write_configuration(w, false); });
    QObject::connect(exported, &QAction::triggered, &w, [&w] { write_configuration(w, true); });
    QObject::connect(compare, &QAction::triggered, &w, [&w] { compare_configurations(w); });
    QObject::connect(ui->actionLoad_Registers, &QAction::triggered, &w, [&w] { load_configuration(w); });
    QObject::connect(record, &QAction::triggered, &w, [&w, record] { toggle_recording(w, record); });
    QObject::connect(&bench, &Workbench::recording_changed, record,
                     [&w, record](bool on, const QString &message) {
                         record->setChecked(on);
                         w.append_command_log(message);
                     });

    // The folder of the session logs, made if this run has none yet, in the
    // desktop's file manager.
    QAction *logs = ui->menuHelp->addAction(QStringLiteral("Open Session Log Folder"));
    QObject::connect(logs, &QAction::triggered, &w, [] {
        const QString folder = SessionLog::default_directory();
        QDir().mkpath(folder);
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    });

    QAction *map = ui->menuTools->addAction(QStringLiteral("Register Map"));
    map->setShortcut(QKeySequence(QStringLiteral("Ctrl+M")));
    QObject::connect(map, &QAction::triggered, &w, [windows] { show_window(windows.register_map); });
    QAction *telemetry = ui->menuView->addAction(QStringLiteral("Telemetry"));
    telemetry->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
    QObject::connect(telemetry, &QAction::triggered, &w, [windows] { show_window(windows.telemetry); });
    QAction *power_up = ui->menuView->addAction(QStringLiteral("Power-Up Sequence"));
    QObject::connect(power_up, &QAction::triggered, &w, [windows] { show_window(windows.power_up); });
    return windows;
}
