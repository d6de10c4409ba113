// The window's menu actions beyond the controls: the About box, the direct
// register access window and the adapter firmware update.
#include "mainwindow.h"

#include "about_box.h"
#include "direct_access.h"
#include "firmware_update.h"
#include "window_trace.h"

using namespace evalpanel;

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
    const int value = register_read(address);
    direct_access_->set_data(static_cast<uint8_t>(value & 0xFF));
    write_statusbar(address, direct_access_->data(), false);
}

void MainWindow::dr_write() {
    const uint8_t address = direct_access_->address();
    const uint8_t data = direct_access_->data();
    register_write(address, data);
    write_statusbar(address, data, true);
}

void MainWindow::on_actionUpdate_Firmware_activated() {
    check_firmware_update(false);
    // The check leaves the adapter in its bootloader, whatever it decided.
    start_firmware(device().handle);
}

void MainWindow::check_firmware_update(bool automatic) {
    BridgeFirmwareAdapter adapter(device().handle);
    FirmwareCheckSinks sinks;
    sinks.log = [this](const QString &line) {
        if (has_command_log())
            append_command_log(line);
    };
    sinks.show_box = run_firmware_message_box;
    run_firmware_check(adapter, automatic, sinks);
}
