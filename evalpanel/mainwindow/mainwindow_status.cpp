// What a status poll shows (bucks, multiphase groups, load current,
// temperatures, flags), the display refresh and the status bar.
#include "mainwindow.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QStatusBar>

#include "bound_controls.h"
#include "device/operations.h"
#include "device/session_view.h"
#include "form.h"
#include "live_rule.h"
#include "status_bar_text.h"
#include "window_trace.h"

using namespace evalpanel;

void MainWindow::timer_func() {
    view_.post([](DeviceSession &s) { poll_now(s); });
}

void MainWindow::on_pollstatus_clicked() {
    const bool on = pollstatus_box_ != nullptr && pollstatus_box_->isChecked();
    view_.post([on](DeviceSession &s) { set_polling(s, on); });
}

void MainWindow::update_display() {
    qCDebug(lcWindow, "update_display()");
    controls_->refresh([this] { show_chip_temperature(); });
    if (autowrite_box_ != nullptr)
        autowrite_box_->setChecked(auto_write_);
    if (pollstatus_box_ != nullptr)
        pollstatus_box_->setChecked(view_.polling());
}

void MainWindow::show_poll() {
    const ResultBlock &block = view_.status();
    const bool ready = view_.connection_state() == kConnected;
    std::array<int, kBuckCount> states{};
    for (int buck = 0; buck < kBuckCount; ++buck) {
        states[buck] = mode_state(block, buck);
        if (!ready)
            set_field_text(mode_fields_[buck], kUndefinedText);
        else if (const auto text = buck_mode_text(block, buck))
            set_field_text(mode_fields_[buck], *text);
    }
    if (!ready) {
        for (QLineEdit *field : current_fields_)
            set_field_text(field, kNoCurrentText);
    } else {
        // Only the field of the selected source changes; the others keep
        // the value read while their source was selected.
        const LoadCurrentReading reading = load_current(block);
        const int field = current_field_for_source(reading.source);
        if (field >= 0)
            set_field_text(current_fields_[field], load_current_text(reading.raw));
    }
    const auto texts = multiphase_texts(multiphase_configuration(block), states);
    for (int buck = 0; buck < kBuckCount && buck < multiphase_fields_.size(); ++buck)
        set_field_text(multiphase_fields_[buck], ready ? texts[buck] : kUndefinedText);
    show_chip_temperature();
    update_display();
    set_field_text(ui_->board_temp,
                   board_temperature_display(block, view_.status_fresh(),
                                             ui_->io0022->isChecked(),
                                             view_.board_sensor_present()));
    write_statusbar(0, 0, true);
}

void MainWindow::show_chip_temperature() {
    if (view_.connection_state() != kConnected) {
        set_field_text(ui_->chip_temp, kUndefinedText);
        return;
    }
    const int level = chip_temperature_level(view_.registers()[rx5120::reg::kFlags0]);
    set_field_text(ui_->chip_temp, chip_temperature_text(level));
}

void MainWindow::show_connection() {
    const int state = view_.connection_state();
    const LiveRule rule = live_rule(view_);
    if (const auto shown = rule.connection()) {
        QPalette palette = connection_label_->palette();
        const Rgb c = shown->background;
        palette.setColor(QPalette::All, QPalette::Window, QColor(c.red, c.green, c.blue));
        connection_label_->setText(shown->label);
        statusBar()->clearMessage();
        // An adapter that is there but cannot be opened says why.
        const QString &failure = view_.open_failure();
        statusBar()->showMessage(state == kNotConnected && !failure.isEmpty() ? failure
                                                                                : shown->message);
        connection_label_->setPalette(palette);
    }
    if (updating_firmware_) {
        // The adapter is busy being flashed: not "ready".
        connection_label_->setText(QStringLiteral("   updating firmware   "));
        QPalette palette = connection_label_->palette();
        palette.setColor(QPalette::All, QPalette::Window,
                         QColor(kNotLive.red, kNotLive.green, kNotLive.blue));
        connection_label_->setPalette(palette);
        statusBar()->showMessage(
            QStringLiteral("Updating the adapter's firmware: it cannot be stopped; keep the adapter plugged in."));
    }
    version_label_->setText(rule.chip_version(view_.registers()[rx5120::reg::kChipId], view_.registers_valid()));
}

void MainWindow::write_statusbar(int address, int data, bool write) {
    show_connection();
    access_label_->setText(
        access_label_text(static_cast<uint8_t>(address), static_cast<uint8_t>(data), write));
}

void MainWindow::fit_status_fields() {
    // Each status field is wide enough for the longest text it can show, so
    // that no text is cut in the default font.
    const auto fit = [](QLineEdit *field, std::initializer_list<QString> texts) {
        const QFontMetrics metrics(field->font());
        int width = 0;
        for (const QString &text : texts)
            width = std::max(width, metrics.horizontalAdvance(text));
        // Frame and text margins of a line edit.
        field->setMinimumWidth(width + 2 * field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) +
                               8);
    };
    for (QLineEdit *field : mode_fields_)
        fit(field, {QStringLiteral("Soft Start-Up"), QStringLiteral("Idle phase"), kUndefinedText, QStringLiteral("Test Mode")});
    for (QLineEdit *field : current_fields_)
        fit(field, {QStringLiteral("20470 mA")});
    for (QLineEdit *field : multiphase_fields_)
        fit(field, {QStringLiteral("Master; 6/6 Phases Active"), QStringLiteral("Slave to Buck0")});
    fit(ui_->board_temp, {kNotAvailableText, QStringLiteral("-128.0 \u00B0C")});
    fit(ui_->chip_temp, {chip_temperature_text(2)});
}
