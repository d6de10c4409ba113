// The window's user actions: bound controls, the bottom row, the menus, the
// direct register access window, the firmware update and the script
// buttons. Each hands over to the session, the bound controls or the
// console.
#include "mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>

#include "about_box.h"
#include "bound_controls.h"
#include "console/console.h"
#include "device/device_session.h"
#include "direct_access.h"
#include "firmware_update.h"
#include "form.h"
#include "window_trace.h"

using namespace evalpanel;

// ---- Bound controls and the bottom row ------------------------------------------

void MainWindow::on_buttonGroup_buttonClicked(int id) {
    controls_->button_clicked(
        id, auto_write_, [this](int reg, int value) { write_statusbar(reg, value, true); },
        [this](const QString &line) { append_command_log(line); });
}

void MainWindow::on_combobox_activated(int index) {
    auto *combo = qobject_cast<QComboBox *>(sender());
    if (combo == nullptr)
        return;
    controls_->combo_activated(
        combo, index, auto_write_, [this](int reg, int value) { write_statusbar(reg, value, true); },
        [this](const QString &line) { append_command_log(line); });
}

void MainWindow::on_autowrite_clicked() {
    qCDebug(lcWindow, "on_autowrite_clicked()");
    // Switching it on sends nothing: "Write Registers" does.
    auto_write_ = autowrite_box_ != nullptr && autowrite_box_->isChecked();
}

void MainWindow::on_readregisters_clicked() {
    session_.read_all();
    write_statusbar(0, 0, true);
}

void MainWindow::on_writeregisters_clicked() {
    const std::vector<uint8_t> regs = controls_->registers_to_write();
    session_.write_registers(regs);
    write_statusbar(0, 0, true);
}

void MainWindow::on_clear_ints_clicked() {
    qCDebug(lcWindow, "on_clear_ints_clicked()");
    session_.clear_flags();
    for (uint8_t reg : {rx5120::reg::kFlags0, rx5120::reg::kFlags1})
        write_statusbar(reg, session_.registers()[reg], true);
    update_display();
}

void MainWindow::on_comboBox_3_activated(int index) {
    qCDebug(lcWindow, "select I2C bus: %s", index == 0 ? "system" : "ventra");
    session_.select_i2c_bus(index == 0 ? 0 : 1);
}

void MainWindow::on_comboBox_8_activated(int index) {
    qCDebug(lcWindow, "select I2C address");
    session_.set_i2c_address(static_cast<uint8_t>(rx5120::kDefaultAddress + index));
}

void MainWindow::on_proto_activated(int index) {
    session_.set_bus_speed(index);
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
    const int value = session_.register_read(address);
    direct_access_->set_data(static_cast<uint8_t>(value & 0xFF));
    write_statusbar(address, direct_access_->data(), false);
}

void MainWindow::dr_write() {
    const uint8_t address = direct_access_->address();
    const uint8_t data = direct_access_->data();
    session_.register_write(address, data);
    write_statusbar(address, data, true);
}

void MainWindow::on_actionUpdate_Firmware_activated() {
    check_firmware_update(false);
    // The check leaves the adapter in its bootloader, whatever it decided.
    start_firmware(session_.handle());
}

void MainWindow::check_firmware_update(bool automatic) {
    BridgeFirmwareAdapter adapter(session_.handle());
    FirmwareCheckSinks sinks;
    sinks.log = [this](const QString &line) { append_command_log(line); };
    sinks.show_box = run_firmware_message_box;
    run_firmware_check(adapter, automatic, sinks);
}

// ---- Script buttons -----------------------------------------------------------------

void MainWindow::run_script_button(const char *file) {
    // A missing file does nothing; while a console command runs the button
    // is ignored rather than starting a second run inside the first.
    if (console_)
        console_->run_script_file(file);
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
