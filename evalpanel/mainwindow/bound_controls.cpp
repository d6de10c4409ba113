#include "bound_controls.h"

#include <QAbstractButton>
#include <algorithm>
#include <QButtonGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QPalette>
#include <QRegularExpression>
#include <QWidget>

#include "chip/rx5120.h"
#include "colours.h"
#include "live_rule.h"
#include "device/operations.h"
#include "device/session_view.h"
#include "registers/register_table.h"
#include "window_trace.h"

using namespace evalpanel;

namespace {

template <typename T> QList<T *> find_by_pattern(QObject *root, const char *pattern) {
    return root->findChildren<T *>(QRegularExpression(QString::fromLatin1(pattern)));
}

template <typename W> std::vector<BoundControls::Entry<W>> decode_all(const QList<W *> &widgets) {
    std::vector<BoundControls::Entry<W>> table;
    table.reserve(static_cast<size_t>(widgets.size()));
    for (W *w : widgets)
        table.push_back({w, decode_binding(w->objectName())});
    return table;
}

// The record line of a field change, when a field starts at that bit; empty
// otherwise.
QString field_record(const char *format, int reg, int high, int low, unsigned value) {
    char name[kLineSize] = {};
    if (!find_lreg_by_address(name, sizeof name, static_cast<unsigned>(reg), high, low))
        return QString();
    return QString::asprintf(format, name, value);
}

uint8_t range_mask(const BitRange &r) {
    return static_cast<uint8_t>(((1u << r.width()) - 1u) << r.low);
}

} // namespace

void set_field_text(QLineEdit *field, const QString &text) {
    field->setText(text);
    // Narrow fields show the beginning of their text, not its end.
    field->setCursorPosition(0);
}

BoundControls::BoundControls(QWidget *root, SessionView &view)
    : QObject(root), view_(view) {
    buttons_ = find_by_pattern<QAbstractButton>(root, kBoundButtonPattern);
    combos_ = find_by_pattern<QComboBox>(root, kBoundComboPattern);
    edits_ = find_by_pattern<QLineEdit>(root, kBoundEditPattern);
    button_table_ = decode_all(buttons_);
    combo_table_ = decode_all(combos_);
    edit_table_ = decode_all(edits_);

    group_ = new QButtonGroup(root);
    group_->setExclusive(false);
    for (int i = 0; i < buttons_.size(); ++i) {
        group_->addButton(buttons_[i], i);
        qCDebug(lcWindow, "button %d : %s", i, qPrintable(buttons_[i]->objectName()));
    }
}

// ---- Refresh ----------------------------------------------------------------

void BoundControls::refresh(const std::function<void()> &on_interrupt) {
    refresh_buttons();
    refresh_selectors();
    refresh_edits(on_interrupt);
}

LiveRule live_rule(const SessionView &view) {
    const int state = view.connection_state();
    return LiveRule(state, state == kNotConnected
                               ? -1
                               : view.pin_level(rx5120::pin::kGroupA, rx5120::pin::kVioSys));
}

void BoundControls::refresh_buttons() {
    const auto &cache = view_.registers();
    // Register controls show nothing true until the registers were read
    // from the chip, nor while it does not answer: they are greyed then.
    const LiveRule rule = live_rule(view_);
    const bool valid = rule.register_control_enabled(view_.registers_valid());
    for (const auto &[button, b] : button_table_) {
        if (!button->isCheckable()) {
            // A Clear button writes its register back from what is read
            // live; with the registers unread (the chip unpowered) that
            // read fails and the write would raise every other flag.
            if (b.kind == BindingKind::RegisterBit)
                button->setEnabled(valid);
            continue;
        }
        if (b.kind == BindingKind::RegisterBit) {
            button->setEnabled(valid);
            button->setChecked(read_field(b, cache) == 1);
        } else if (b.kind == BindingKind::Pin) {
            const int level = view_.pin_level(b.pin_group, b.pin);
            button->setEnabled(rule.pin_control_enabled());
            button->setChecked(b.inverted ? level == 0 : level == 1);
        }
    }
}

void BoundControls::refresh_selectors() {
    const auto &cache = view_.registers();
    const bool valid = view_.registers_valid();
    for (const auto &[combo, b] : combo_table_) {
        if (b.kind != BindingKind::Selector)
            continue;
        combo->setEnabled(valid);
        const unsigned value = read_field(b, cache);
        const int index = item_for_value(b, value);
        const bool listed = index >= 0 && index < combo->count();
        // A value the selector has no item for (the current limit's power-on
        // 3) is named rather than shown as a blank selector.
        combo->setPlaceholderText(valid && !listed ? QStringLiteral("%1: not in the table").arg(value)
                                                   : QString());
        // Showing a value must never write it back: setCurrentIndex does
        // not emit activated.
        combo->setCurrentIndex(listed ? index : -1);
    }
}

void BoundControls::refresh_edits(const std::function<void()> &on_interrupt) {
    const auto &cache = view_.registers();
    const int state = view_.connection_state();
    const LiveRule rule = live_rule(view_);
    const auto set_indicator = [&rule](QLineEdit *edit, int value) {
        const IndicatorShown shown = rule.indicator(value);
        const Rgb c = shown.colour;
        QPalette palette = edit->palette();
        palette.setColor(QPalette::All, QPalette::Base, QColor(c.red, c.green, c.blue));
        edit->setPalette(palette);
        edit->setText(shown.text);
    };
    for (const auto &[edit, b] : edit_table_) {
        switch (b.kind) {
        case BindingKind::BitIndicator:
            set_indicator(edit, static_cast<int>(read_field(b, cache)));
            break;
        case BindingKind::PinIndicator: {
            // The pins shown are active low (the interrupt line). A chip
            // that does not answer asserts nothing worth showing.
            const int value = view_.pin_level(b.pin_group, b.pin) == 0 ? 1 : 0;
            if (rule.live() && value == 1 && on_interrupt)
                on_interrupt();
            set_indicator(edit, value);
            break;
        }
        case BindingKind::Measurement: {
            const double x = view_.adc_read(b.unit, b.channel, b.factor_a / 100.0, b.shift,
                                               b.factor_b / 100.0);
            set_field_text(edit, state == kNotConnected ? kNoCurrentText : measurement_text(x));
            break;
        }
        default:
            break;
        }
    }
}

// ---- Clicks and choices ---------------------------------------------------------

namespace {

// Hands each written register to the status bar once the job has run.
auto report_to(const BoundControls::Accessed &accessed) {
    return [accessed](const Written &written) {
        for (const auto &[r, v] : written)
            accessed(r, v);
    };
}

} // namespace

void BoundControls::button_clicked(int id, bool auto_write, const Accessed &accessed) {
    if (id < 0 || id >= static_cast<int>(button_table_.size()))
        return;
    const auto &[button, b] = button_table_[static_cast<size_t>(id)];
    if (b.kind == BindingKind::RegisterBit)
        register_bit_clicked(button, b, auto_write, accessed);
    else if (b.kind == BindingKind::Pin)
        pin_button_clicked(button, b);
}

void BoundControls::register_bit_clicked(QAbstractButton *button, const ControlBinding &b,
                                         bool auto_write, const Accessed &accessed) {
    const auto reg = static_cast<uint8_t>(b.field.reg);
    const int bit = b.field.low;
    // A push button clears its flag; a box sets or clears its bit.
    const bool on = button->isCheckable() && button->isChecked();
    qCDebug(lcWindow, "%s bit %d at 0x%02x", on ? "set" : "clear", bit, reg);
    const uint8_t mask = static_cast<uint8_t>(1u << bit);
    const QString record = field_record("%s = %X", reg, bit, bit, on ? 1 : 0);
    const bool write = auto_write || !button->isCheckable();
    const RegisterBits change{reg, mask, static_cast<uint8_t>(on ? mask : 0)};
    view_.ask([=](DeviceSession &s) { return apply_bit_change(s, change, record, write); }, this,
              report_to(accessed));
}

void BoundControls::pin_button_clicked(QAbstractButton *button, const ControlBinding &b) {
    const int n = b.inverted ? 1 : 0;
    const int group = b.pin_group;
    const int pin = b.pin;
    if (button->isCheckable()) {
        // Ticking "Assert VIOSYS" also brings the chip up.
        const bool checked = button->isChecked();
        const int level = checked ? 1 - n : n;
        view_.post([=](DeviceSession &s) { write_box_pin(s, group, pin, level, checked); });
        return;
    }
    view_.post([=](DeviceSession &s) { pulse_pin(s, group, pin, 1 - n); });
}

void BoundControls::combo_activated(QComboBox *combo, int index, bool auto_write,
                                    const Accessed &accessed) {
    qCDebug(lcWindow, "on_combobox_currentIndexChanged()");
    const auto it = std::find_if(combo_table_.begin(), combo_table_.end(),
                                 [combo](const auto &e) { return e.widget == combo; });
    if (it == combo_table_.end() || it->binding.kind != BindingKind::Selector)
        return;
    const ControlBinding b = it->binding;
    const unsigned value = value_for_item(b, index);
    const unsigned field_value = value & ((1u << b.field.width()) - 1u);
    const QString record = field_record("%s = 0x%X", b.field.reg, b.field.high, b.field.low,
                                        field_value);
    // The whole choice is one job: both segments of a two-register field
    // change together.
    std::vector<RegisterBits> segments{{static_cast<uint8_t>(b.field.reg), range_mask(b.field),
                                        static_cast<uint8_t>(field_value << b.field.low)}};
    if (b.two_segments)
        segments.push_back({static_cast<uint8_t>(b.field2.reg), range_mask(b.field2),
                            static_cast<uint8_t>(second_segment_value(b, value) << b.field2.low)});
    view_.ask(
        [=](DeviceSession &s) { return apply_field_change(s, segments, record, auto_write); },
        this, report_to(accessed));
}

std::vector<uint8_t> BoundControls::registers_to_write() const {
    std::vector<uint8_t> regs;
    for (const auto &[button, b] : button_table_)
        if (b.kind == BindingKind::RegisterBit)
            regs.push_back(static_cast<uint8_t>(b.field.reg));
    for (const auto &[combo, b] : combo_table_) {
        if (b.kind != BindingKind::Selector)
            continue;
        regs.push_back(static_cast<uint8_t>(b.field.reg));
        if (b.two_segments)
            regs.push_back(static_cast<uint8_t>(b.field2.reg));
    }
    return regs;
}
