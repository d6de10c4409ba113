// The window's user actions: bound controls, the bottom row, the menus, the
// direct register access window, the firmware update and the script
// buttons. Each hands over to the session, the bound controls or the
// console.
#include "mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressDialog>
#include <QStatusBar>

#include <algorithm>

#include "bound_controls.h"
#include "console/console.h"
#include "device/operations.h"
#include "device/session_view.h"
#include "form.h"
#include "status_bar_text.h"
#include "windows/about_box.h"
#include "windows/direct_access.h"
#include "windows/telemetry_window.h"
#include "window_trace.h"

using namespace evalpanel;

// ---- Bound controls and the bottom row ------------------------------------------

void MainWindow::on_buttonGroup_buttonClicked(int id) {
    controls_->button_clicked(id, auto_write_,
                              [this](int reg, int value) { write_statusbar(reg, value, true); });
}

void MainWindow::on_combobox_activated(int index) {
    auto *combo = qobject_cast<QComboBox *>(sender());
    if (combo == nullptr)
        return;
    controls_->combo_activated(combo, index, auto_write_,
                               [this](int reg, int value) { write_statusbar(reg, value, true); });
}

void MainWindow::on_autowrite_clicked() {
    qCDebug(lcWindow, "on_autowrite_clicked()");
    // Switching it on sends nothing: "Write Registers" does.
    auto_write_ = autowrite_box_ != nullptr && autowrite_box_->isChecked();
}

void MainWindow::on_readregisters_clicked() {
    view_.ask(
        [](DeviceSession &s) {
            read_all_registers(s);
            return true;
        },
        this, [this](bool) { write_statusbar(0, 0, true); });
}

void MainWindow::on_writeregisters_clicked() {
    std::vector<uint8_t> regs = controls_->registers_to_write();
    // Changes kept in RegisterCache by the register map as well.
    const SessionSnapshot &snap = view_.snapshot();
    for (int a = 0; a < 256; ++a)
        if (snap.registers[a] != snap.chip[a] &&
            std::find(regs.begin(), regs.end(), a) == regs.end())
            regs.push_back(static_cast<uint8_t>(a));
    view_.ask(
        [regs](DeviceSession &s) {
            write_registers(s, regs);
            return true;
        },
        this, [this](bool) { write_statusbar(0, 0, true); });
}

void MainWindow::on_clear_ints_clicked() {
    qCDebug(lcWindow, "on_clear_ints_clicked()");
    view_.ask(
        [](DeviceSession &s) { return clear_flags(s); },
        this, [this](const RegisterImage &registers) {
            for (uint8_t reg : {rx5120::reg::kFlags0, rx5120::reg::kFlags1})
                write_statusbar(reg, registers[reg], true);
            update_display();
        });
}

void MainWindow::on_comboBox_3_activated(int index) {
    qCDebug(lcWindow, "select I2C bus: %s", index == 0 ? "system" : "ventra");
    const int bus = index == 0 ? 0 : 1;
    view_.post([bus](DeviceSession &s) { select_i2c_bus(s, bus); });
}

void MainWindow::on_comboBox_8_activated(int index) {
    qCDebug(lcWindow, "select I2C address");
    const auto address = static_cast<uint8_t>(rx5120::kDefaultAddress + index);
    view_.post([address](DeviceSession &s) { set_i2c_address(s, address); });
}

void MainWindow::on_proto_activated(int index) {
    view_.post([index](DeviceSession &s) { set_bus_speed(s, index); });
}

// ---- Menus ------------------------------------------------------------------------

void MainWindow::on_actionConsole_toggled(bool on) {
    qCDebug(lcWindow, "on_actionConsole_toggled() : %s", on ? "ON" : "OFF");
    ui_->plainTextEdit->setVisible(on);
    if (on)
        ui_->plainTextEdit->setFocus();
}

void MainWindow::on_actionAbout_activated() {
    qCDebug(lcWindow, "on_actionAbout_activated()");
    show_about_box(this);
}

void MainWindow::on_actionDirect_Register_Access_activated() {
    qCDebug(lcWindow, "direct_access()");
    direct_access_->show();
    direct_access_->raise();
    direct_access_->activateWindow();
}

// A failed read gives -1: the window then shows ff, and so does the status
// bar, which is what the chip would answer on an idle bus.
void MainWindow::dr_read() {
    const uint8_t address = direct_access_->address();
    view_.ask([address](DeviceSession &s) { return read_register(s, address); }, this,
              [this, address](int value) {
                  // The address may have changed meanwhile: the data shown
                  // is the register's at the address shown.
                  if (direct_access_->address() == address)
                      direct_access_->set_data(static_cast<uint8_t>(value & 0xFF));
                  direct_access_->show_access(false, address, value & 0xFF, value >= 0);
                  write_statusbar(address, value < 0 ? 0xFF : value & 0xFF, false);
              });
}

void MainWindow::dr_write() {
    const uint8_t address = direct_access_->address();
    const uint8_t data = direct_access_->data();
    view_.ask([address, data](DeviceSession &s) { return write_register_checked(s, address, data); },
              this, [this, address, data](bool ok) {
                  direct_access_->show_access(true, address, data, ok);
                  write_statusbar(address, data, true);
              });
}

namespace {

// Where a firmware check on the device thread reports: the command log
// through the session, the box and the progress to the window, queued.
FirmwareCheckSinks window_sinks(DeviceSession &s, QPointer<MainWindow> window) {
    FirmwareCheckSinks sinks;
    sinks.show_box = [window](const QString &text) {
        if (window)
            QMetaObject::invokeMethod(window.data(), [window, text] {
                if (window)
                    window->show_firmware_box(text);
            });
    };
    sinks.progress = [window](int written, int pages) {
        if (window)
            QMetaObject::invokeMethod(window.data(), [window, written, pages] {
                if (window)
                    window->show_flash_progress(written, pages);
            });
    };
    return log_to_session(s, sinks);
}

} // namespace

void MainWindow::install_firmware_check() {
    QPointer<MainWindow> window(this);
    view_.post([window](DeviceSession &s) {
        install_automatic_firmware_check(s, window_sinks(s, window));
    });
}

void MainWindow::on_actionUpdate_Firmware_activated() {
    // First what it would do, read without touching the adapter's firmware;
    // the flash waits for the user's consent.
    view_.ask([](DeviceSession &s) { return plan_firmware_update(s); }, this,
              [this](const FirmwarePlan &plan) { confirm_firmware_update(plan); });
}

void MainWindow::confirm_firmware_update(const FirmwarePlan &plan) {
    if (plan.outcome != FirmwareOutcome::Updated) {
        // Nothing would be flashed: the check runs as before and says why.
        start_firmware_update();
        return;
    }
    if (firmware_confirm_ == nullptr) {
        firmware_confirm_ = new QMessageBox(this);
        firmware_confirm_->setAttribute(Qt::WA_DeleteOnClose);
        firmware_confirm_->setWindowTitle(QStringLiteral("Update Firmware"));
        firmware_confirm_->setIcon(QMessageBox::Warning);
        QPushButton *update =
            firmware_confirm_->addButton(QStringLiteral("Update"), QMessageBox::AcceptRole);
        firmware_confirm_->setDefaultButton(firmware_confirm_->addButton(QMessageBox::Cancel));
        connect(update, &QPushButton::clicked, this, &MainWindow::start_firmware_update);
    }
    firmware_confirm_->setText(QStringLiteral("Update the adapter's firmware from %1 to %2?")
                                   .arg(plan.current, plan.image));
    firmware_confirm_->setInformativeText(
        QStringLiteral("Image: %1, %2 bytes, version %3.\nAdapter now: version %4.\n\n"
                       "Once started the update cannot be stopped: keep the adapter plugged "
                       "in until it ends.")
            .arg(plan.file)
            .arg(plan.size)
            .arg(plan.image, plan.current));
    // Window-modal and never waited in: the window keeps drawing.
    firmware_confirm_->open();
}

QMessageBox *MainWindow::firmware_confirmation() const {
    return firmware_confirm_;
}

void MainWindow::start_firmware_update() {
    updating_firmware_ = true;
    flash_started_ms_ = QDateTime::currentMSecsSinceEpoch();
    show_connection();
    QPointer<MainWindow> window(this);
    view_.post([window](DeviceSession &s) { update_firmware_from_menu(s, window_sinks(s, window)); });
}

void MainWindow::show_firmware_box(const QString &text) {
    if (updating_firmware_ && workbench_windows_.telemetry != nullptr)
        // The polls' gap in the plots is named after the flash.
        workbench_windows_.telemetry->note_pause(flash_started_ms_, QDateTime::currentMSecsSinceEpoch(),
                                                 QStringLiteral("flashing"));
    updating_firmware_ = false;
    if (flash_progress_ != nullptr)
        flash_progress_->reset();
    // The flash's progress leaves the status bar to the connection again.
    show_connection();
    // Shown after the check has ended, and never waited for: the device
    // thread goes on while it is open.
    if (firmware_box_ == nullptr) {
        firmware_box_ = new QMessageBox;
        firmware_box_->setAttribute(Qt::WA_DeleteOnClose);
    }
    firmware_box_->setText(text);
    firmware_box_->show();
    firmware_box_->raise();
}

void MainWindow::show_flash_progress(int written, int pages) {
    if (flash_progress_ == nullptr) {
        flash_progress_ = new QProgressDialog(QStringLiteral("Updating firmware..."), QString(), 0,
                                              pages, this);
        flash_progress_->setWindowTitle(QStringLiteral("Update Firmware"));
        // Shown, never waited in: a modal progress dialog would turn the
        // event loop inside setValue. The flash cannot be stopped halfway:
        // no Cancel button.
        flash_progress_->setWindowModality(Qt::NonModal);
        flash_progress_->setCancelButton(nullptr);
        flash_progress_->setMinimumDuration(0);
        flash_progress_->setAutoClose(true);
    }
    // A redraw per percent is enough: a large image has a thousand pages.
    const int percent = pages > 0 ? written * 100 / pages : 100;
    if (flash_progress_->maximum() == pages && written != pages && written > 1 &&
        (written - 1) * 100 / pages == percent)
        return;
    const QString text = QStringLiteral("Updating firmware: page %1 of %2").arg(written).arg(pages);
    flash_progress_->setMaximum(pages);
    flash_progress_->setValue(written);
    flash_progress_->setLabelText(text);
    statusBar()->showMessage(text);
}

// ---- Script buttons -----------------------------------------------------------------

void MainWindow::run_script_button(const char *file) {
    // A missing file does nothing; while a console command runs the button
    // is ignored rather than starting a second run inside the first.
    if (console_)
        console_->run_script_file(QByteArray(file));
}

void MainWindow::on_script1_clicked() {
    run_script_button("script1.txt");
}

void MainWindow::on_script2_clicked() {
    run_script_button("script2.txt");
}

void MainWindow::on_script3_clicked() {
    run_script_button("script3.txt");
}

void MainWindow::on_script4_clicked() {
    run_script_button("script4.txt");
}
