// Status polling: one tick runs the adapter's status script and shows what it
// read (bucks, multiphase groups, load current, temperatures, flags), then
// the status bar.
#include "mainwindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

#include "form.h"
#include "window_trace.h"

using namespace evalpanel;

namespace {
// Pins whose levels the status script reads: A18, A22, A23, A24, A25.
constexpr int kPolledPinCount = 5;
} // namespace

void MainWindow::set_field_text(QLineEdit *field, const QString &text) {
    field->setText(text);
    // Narrow fields show the beginning of their text, not its end.
    field->setCursorPosition(0);
}

void MainWindow::timer_func() {
    qCDebug(lcWindow, "timer_func()");
    DeviceState &s = device();
    // The bus and access-level helpers stay quiet in the command log while
    // a poll runs.
    s.echo = false;
    run_poll_script();
    show_modes();
    show_load_current();
    show_multiphase();
    show_chip_temperature();
    update_display();
    show_board_temperature();
    write_statusbar(0, 0, true);
    s.echo = true;
}

void MainWindow::run_poll_script() {
    DeviceState &s = device();
    ResultBlock block = s.status_result;
    const bool have_adapter = s.handle != BRIDGEIO_INVALID_HANDLE && s.handle != nullptr;
    // Without an adapter the run counts as one on a vanished adapter.
    const int result = have_adapter ? execute_script(s.handle, 0, block.data()) : -1;
    apply_status_result(result, block.data());
    // A run the chip did not acknowledge still carries the adapter's own
    // pin levels: a pin just driven shows its new level even while the chip
    // is unpowered, instead of the level from before.
    if (classify_script_result(result) == PollOutcome::Nack)
        std::copy_n(block.begin() + block::kPinLevels, kPolledPinCount,
                    s.status_result.begin() + block::kPinLevels);
}

void MainWindow::show_modes() {
    const DeviceState &s = device();
    if (s.connection_state != kConnected) {
        for (QLineEdit *field : mode_fields_)
            set_field_text(field, kUndefinedText);
        return;
    }
    for (int buck = 0; buck < kBuckCount; ++buck) {
        mode_states_[buck] = mode_state(s.status_result, buck);
        // States 1 and 2 pass quickly and keep the previous text.
        if (const auto text = buck_mode_text(s.status_result, buck))
            set_field_text(mode_fields_[buck], *text);
    }
}

void MainWindow::show_load_current() {
    const DeviceState &s = device();
    if (s.connection_state != kConnected) {
        for (QLineEdit *field : current_fields_)
            set_field_text(field, kNoCurrentText);
        return;
    }
    // Only the field of the selected source changes; the others keep the
    // value read while their source was selected.
    const LoadCurrentReading reading = load_current(s.status_result);
    const int field = current_field_for_source(reading.source);
    if (field >= 0)
        set_field_text(current_fields_[field], load_current_text(reading.raw));
}

void MainWindow::show_multiphase() {
    const DeviceState &s = device();
    if (s.connection_state != kConnected) {
        for (QLineEdit *field : multiphase_fields_)
            set_field_text(field, kUndefinedText);
        return;
    }
    const auto texts = multiphase_texts(multiphase_configuration(s.status_result), mode_states_);
    for (int buck = 0; buck < kBuckCount && buck < multiphase_fields_.size(); ++buck)
        set_field_text(multiphase_fields_[buck], texts[buck]);
}

void MainWindow::show_chip_temperature() {
    const DeviceState &s = device();
    if (s.connection_state != kConnected) {
        set_field_text(ui_->chip_temp, kUndefinedText);
        return;
    }
    chip_temperature_level_ = chip_temperature_level(s.register_cache[0x0D]);
    set_field_text(ui_->chip_temp, chip_temperature_text(chip_temperature_level_));
}

void MainWindow::show_board_temperature() {
    const DeviceState &s = device();
    // The sensor is powered with the chip; without it there is no reading.
    if (!ui_->io0022->isChecked() || !s.board_sensor_present) {
        set_field_text(ui_->board_temp, kNotAvailableText);
        return;
    }
    set_field_text(ui_->board_temp, board_temperature_text(board_temperature(s.status_result)));
}

void MainWindow::write_statusbar(int address, int data, bool write) {
    const DeviceState &s = device();
    if (const auto shown = connection_display(s.connection_state)) {
        QPalette palette = connection_label_->palette();
        const Rgb c = shown->background;
        palette.setColor(QPalette::All, QPalette::Window, QColor(c.red, c.green, c.blue));
        connection_label_->setText(shown->label);
        statusBar()->clearMessage();
        statusBar()->showMessage(shown->message);
        connection_label_->setPalette(palette);
    }
    access_label_->setText(
        access_label_text(static_cast<uint8_t>(address), static_cast<uint8_t>(data), write));
    if (s.connection_state == kConnected)
        version_label_->setText(chip_version_text(s.register_cache[0x18]));
}

void MainWindow::on_pollstatus_clicked() {
    qCDebug(lcWindow, "on_pollstatus_clicked()");
    DeviceState &s = device();
    s.polling_enabled = pollstatus_box_ != nullptr && pollstatus_box_->isChecked();
    if (s.polling_enabled)
        poll_timer_->start(kPollIntervalMs);
    else
        poll_timer_->stop();
}
