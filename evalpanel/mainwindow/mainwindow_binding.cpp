// The controls bound to registers, pins and converter inputs by their object
// names: the refresh of all of them, the click and choice handlers, "Read
// Registers", "Write Registers", "Auto Write", and the bus, address and speed
// selectors.
#include "mainwindow.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPalette>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QThread>

#include "binding.h"
#include "form.h"
#include "registers/register_table.h"
#include "window_trace.h"

using namespace evalpanel;

namespace {

std::span<const uint8_t, 256> cache_view() {
    return std::span<const uint8_t, 256>(device().register_cache);
}

// The byte a live read stores: a failed read stores 0xFF.
uint8_t live_byte(int reg) {
    const int value = register_read(static_cast<uint8_t>(reg));
    return static_cast<uint8_t>(value < 0 ? 0xFF : value);
}

// The record line of a field change, when a field starts at that bit; empty
// otherwise.
QString field_record(const char *format, int reg, int high, int low, unsigned value) {
    char name[kLineSize] = {};
    if (!find_lreg_by_address(name, sizeof name, static_cast<unsigned>(reg), high, low))
        return QString();
    return QString::asprintf(format, name, value);
}

} // namespace

// ---- Refresh ----------------------------------------------------------------

void MainWindow::update_display() {
    qCDebug(lcWindow, "update_display()");
    refresh_buttons();
    refresh_selectors();
    // After an adapter loss "Poll Status" unticks here.
    if (autowrite_box_ != nullptr)
        autowrite_box_->setChecked(auto_write_);
    if (pollstatus_box_ != nullptr)
        pollstatus_box_->setChecked(device().polling_enabled);
    refresh_edits();
}

void MainWindow::refresh_buttons() {
    const auto cache = cache_view();
    for (QAbstractButton *button : bound_buttons_) {
        if (!button->isCheckable())
            continue;
        const ControlBinding b = decode_binding(button->objectName());
        if (b.kind == BindingKind::RegisterBit) {
            button->setChecked(read_field(b, cache) == 1);
        } else if (b.kind == BindingKind::Pin) {
            const int level = pin_level(b.pin_group, b.pin);
            button->setChecked(b.inverted ? level == 0 : level == 1);
        }
    }
}

void MainWindow::refresh_selectors() {
    const auto cache = cache_view();
    for (QComboBox *combo : bound_combos_) {
        const ControlBinding b = decode_binding(combo->objectName());
        if (b.kind != BindingKind::Selector)
            continue;
        qCDebug(lcWindow, "%d %d %d %d", b.field.low, b.field.high, b.field2.low, b.field2.high);
        qCDebug(lcWindow, "[0x%08x] = 0x%02x (addr2 = 0x%08x", b.field.reg, cache[b.field.reg],
                b.field2.reg);
        qCDebug(lcWindow, "addr = %02x after bm = 0x%02x", b.field.reg,
                (cache[b.field.reg] >> b.field.low) & ((1u << b.field.width()) - 1u));
        const int index = item_for_value(b, read_field(b, cache));
        // Showing a value must never write it back: setCurrentIndex does
        // not emit activated.
        combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
    }
}

void MainWindow::set_indicator(QLineEdit *edit, int value) {
    const Rgb c = indicator_colour(value);
    QPalette palette = statusBar()->palette();
    palette.setColor(QPalette::All, QPalette::Base, QColor(c.red, c.green, c.blue));
    edit->setPalette(palette);
    edit->setText(QString::number(value));
}

void MainWindow::refresh_edits() {
    const DeviceState &s = device();
    const auto cache = cache_view();
    for (QLineEdit *edit : bound_edits_) {
        const ControlBinding b = decode_binding(edit->objectName());
        switch (b.kind) {
        case BindingKind::BitIndicator:
            set_indicator(edit, static_cast<int>(read_field(b, cache)));
            break;
        case BindingKind::PinIndicator: {
            // Pin indicators keep their last reading unless the chip answers.
            if (s.connection_state != kConnected)
                break;
            // The pins shown are active low (the interrupt line).
            const int value = pin_level(b.pin_group, b.pin) == 0 ? 1 : 0;
            if (value == 1)
                show_chip_temperature();
            set_indicator(edit, value);
            break;
        }
        case BindingKind::Measurement: {
            const double x =
                adc_read(b.unit, b.channel, b.factor_a / 100.0, b.shift, b.factor_b / 100.0);
            set_field_text(edit, s.connection_state == kNotConnected ? kNoCurrentText
                                                                     : measurement_text(x));
            break;
        }
        default:
            break;
        }
    }
}

double MainWindow::adc_read(int unit, int channel, double factor_a, int shift, double factor_b) {
    const DeviceState &s = device();
    if (s.connection_state != kConnected)
        return 0.0;
    const int offset = converter_offset(unit, channel);
    if (offset >= 0)
        qCDebug(lcWindow, "adc_read() = 0x%08x",
                s.status_result[offset] | (s.status_result[offset + 1] << 8));
    return converter_reading(s.status_result, unit, channel, factor_a, shift, factor_b);
}

// ---- Bound buttons and selectors ------------------------------------------------

void MainWindow::on_buttonGroup_buttonClicked(int id) {
    QAbstractButton *button = button_group_->button(id);
    if (button == nullptr)
        return;
    const ControlBinding b = decode_binding(button->objectName());
    if (b.kind == BindingKind::RegisterBit)
        register_bit_clicked(button, b.field.reg, b.field.low);
    else if (b.kind == BindingKind::Pin)
        pin_button_clicked(button, b.pin_group, b.pin, b.inverted);
}

void MainWindow::register_bit_clicked(QAbstractButton *button, int reg, int bit) {
    DeviceState &s = device();
    switch_page(0);
    s.register_cache[reg] = live_byte(reg);
    const auto log_bit = [&](unsigned value) {
        const QString record = field_record("%s = %X", reg, bit, bit, value);
        if (!record.isEmpty())
            append_command_log(record);
    };
    if (button->isCheckable() && button->isChecked()) {
        s.register_cache[reg] |= static_cast<uint8_t>(1u << bit);
        qCDebug(lcWindow, "set bit %d at 0x%02x", bit, reg);
        log_bit(1);
    } else {
        // An unticked box, or a push button: a push button clears its flag.
        if (button->isCheckable())
            qCDebug(lcWindow, "clear bit %d at 0x%02x", bit, reg);
        s.register_cache[reg] &= static_cast<uint8_t>(~(1u << bit));
        log_bit(0);
    }
    if (auto_write_ || !button->isCheckable()) {
        register_write(static_cast<uint8_t>(reg), s.register_cache[reg]);
        write_statusbar(reg, s.register_cache[reg], true);
    }
}

void MainWindow::pin_button_clicked(QAbstractButton *button, int group, int pin, bool inverted) {
    const int n = inverted ? 1 : 0;
    if (button->isCheckable()) {
        // What the user asked for; the poll that write_pin runs may move
        // the box again before the check below.
        const bool checked = button->isChecked();
        write_pin(group, pin, checked ? 1 - n : n);
        if (group == 0 && pin == 22 && checked) {
            // The chip has just been powered: find the board sensor again,
            // open the advanced level and read the fresh registers.
            qCDebug(lcWindow, "VIOSYS goes up!");
            probe_board_sensor();
            set_access_mode(1);
            on_readregisters_clicked();
        }
        return;
    }
    // A push button gives a 10 ms pulse.
    write_pin(group, pin, 1 - n);
    QThread::msleep(10);
    write_pin(group, pin, n);
}

void MainWindow::on_combobox_activated(int index) {
    qCDebug(lcWindow, "on_combobox_currentIndexChanged()");
    auto *combo = qobject_cast<QComboBox *>(sender());
    if (combo == nullptr)
        return;
    const ControlBinding b = decode_binding(combo->objectName());
    if (b.kind != BindingKind::Selector)
        return;
    DeviceState &s = device();
    const unsigned value = value_for_item(b, index);
    const unsigned field_value = value & ((1u << b.field.width()) - 1u);

    switch_page(0);
    const int r1 = b.field.reg;
    s.register_cache[r1] = merge_bits(live_byte(r1), b.field, value);
    if (auto_write_) {
        register_write(static_cast<uint8_t>(r1), s.register_cache[r1]);
        write_statusbar(r1, s.register_cache[r1], true);
        const QString record =
            field_record("%s = 0x%X", r1, b.field.high, b.field.low, field_value);
        if (!record.isEmpty())
            append_command_log(record);
    }
    if (b.two_segments) {
        const int r2 = b.field2.reg;
        s.register_cache[r2] = merge_bits(live_byte(r2), b.field2, second_segment_value(b, value));
        if (auto_write_) {
            register_write(static_cast<uint8_t>(r2), s.register_cache[r2]);
            write_statusbar(r2, s.register_cache[r2], true);
        }
    }
}

void MainWindow::on_autowrite_clicked() {
    qCDebug(lcWindow, "on_autowrite_clicked()");
    // Switching it on sends nothing: "Write Registers" does.
    auto_write_ = autowrite_box_ != nullptr && autowrite_box_->isChecked();
}

// ---- Read and write all -------------------------------------------------------

void MainWindow::on_readregisters_clicked() {
    DeviceState &s = device();
    qCDebug(lcWindow, "on_read_registers_clicked() : connstatus=%d", s.connection_state);
    const int saved = register_read(0xFF);
    switch_page(0);
    read_registers(0, 256, s.register_cache.data());
    timer_func();
    write_statusbar(0, 0, true);
    switch_page(saved < 0 ? 0 : static_cast<uint8_t>(saved));
}

void MainWindow::on_writeregisters_clicked() {
    DeviceState &s = device();
    const int saved = register_read(0xFF);
    switch_page(0);
    for (QAbstractButton *button : bound_buttons_) {
        const ControlBinding b = decode_binding(button->objectName());
        if (b.kind != BindingKind::RegisterBit)
            continue;
        register_write(static_cast<uint8_t>(b.field.reg), s.register_cache[b.field.reg]);
        if (s.connection_state != kConnected)
            break;
    }
    for (QComboBox *combo : bound_combos_) {
        const ControlBinding b = decode_binding(combo->objectName());
        if (b.kind != BindingKind::Selector)
            continue;
        register_write(static_cast<uint8_t>(b.field.reg), s.register_cache[b.field.reg]);
        if (s.connection_state != kConnected)
            break;
        if (b.two_segments)
            register_write(static_cast<uint8_t>(b.field2.reg), s.register_cache[b.field2.reg]);
    }
    write_statusbar(0, 0, true);
    switch_page(saved < 0 ? 0 : static_cast<uint8_t>(saved));
}

// ---- Bottom row -------------------------------------------------------------

void MainWindow::on_comboBox_3_activated(int index) {
    qCDebug(lcWindow, "select I2C bus");
    DeviceState &s = device();
    if (index == 0) {
        qCDebug(lcWindow, "system");
        s.bus_selection = 0;
    } else {
        qCDebug(lcWindow, "ventra");
        s.bus_selection = 1;
    }
    select_i2c_bus(s.bus_selection);
}

void MainWindow::on_comboBox_8_activated(int index) {
    qCDebug(lcWindow, "select I2C address");
    set_i2c_address(static_cast<uint8_t>(0x60 + index));
}

void MainWindow::on_proto_activated(int index) {
    set_bus_speed(index);
}
