#include "binding.h"

#include "registers/field_units.h"

namespace {

// Reads one number of at most width digits in base 10 or 16 at pos, like a
// scanf conversion with that width, and advances pos past it. Unlike scanf it
// takes no blanks, signs or "0x": object names carry bare digits only.
bool read_number(QStringView name, qsizetype &pos, int width, int base, int &out) {
    int value = 0;
    int digits = 0;
    for (; digits < width && pos < name.size(); ++digits, ++pos) {
        const char16_t c = name[pos].unicode();
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit < 0)
            break;
        value = value * base + digit;
    }
    if (digits == 0)
        return false;
    out = value;
    return true;
}

// Reads the fixed-width numbers after a prefix; true only if every one of
// them is there.
template <size_t N>
bool read_numbers(QStringView name, qsizetype pos, const int (&widths)[N], int base,
                  int (&out)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (!read_number(name, pos, widths[i], base, out[i]))
            return false;
    }
    return true;
}

bool valid_range(const BitRange &r) {
    return r.high <= 7 && r.low <= 7 && r.high >= r.low;
}

ControlBinding decode_selector(QStringView name) {
    ControlBinding b;
    const bool two = name.size() > 8;
    if (two) {
        int n[6];
        if (!read_numbers(name, 2, {2, 1, 1, 2, 1, 1}, 16, n))
            return b;
        b.field = {n[0], n[1], n[2]};
        b.field2 = {n[3], n[4], n[5]};
        if (!valid_range(b.field) || !valid_range(b.field2))
            return b;
        b.two_segments = true;
    } else {
        int n[3];
        if (!read_numbers(name, 2, {2, 1, 1}, 16, n))
            return b;
        b.field = {n[0], n[1], n[2]};
        if (!valid_range(b.field))
            return b;
    }
    b.kind = BindingKind::Selector;
    b.one_hot = name.endsWith(u's');
    // The output-voltage fields of registers 0x00 to 0x05 start at value 10,
    // the PFM exit level at 3; their lists leave out the unused low values.
    if (!b.two_segments && b.field.reg <= 0x05)
        b.item_offset = evalpanel::kOutputVoltageFirstItem;
    else if (name == u"co1930")
        b.item_offset = 3;
    return b;
}

ControlBinding decode_bit(QStringView name, BindingKind kind) {
    ControlBinding b;
    int n[2];
    if (!read_numbers(name, 2, {2, 1}, 16, n) || n[1] > 7)
        return b;
    b.kind = kind;
    b.field = {n[0], n[1], n[1]};
    return b;
}

ControlBinding decode_pin(QStringView name, qsizetype prefix, BindingKind kind) {
    ControlBinding b;
    int n[2];
    if (!read_numbers(name, prefix, {2, 2}, 10, n))
        return b;
    b.kind = kind;
    b.pin_group = n[0];
    b.pin = n[1];
    b.inverted = kind == BindingKind::Pin && name.endsWith(u'n');
    return b;
}

ControlBinding decode_measurement(QStringView name) {
    ControlBinding b;
    int n[5];
    if (!read_numbers(name, 3, {2, 2, 2, 3, 3}, 10, n))
        return b;
    b.kind = BindingKind::Measurement;
    b.unit = n[0];
    b.channel = n[1];
    b.shift = n[2];
    b.factor_a = n[3];
    b.factor_b = n[4];
    return b;
}

unsigned field_bits(uint8_t byte, const BitRange &r) {
    return (byte >> r.low) & ((1u << r.width()) - 1u);
}

} // namespace

ControlBinding decode_binding(QStringView name) {
    if (name.startsWith(u"co"))
        return decode_selector(name);
    if (name.startsWith(u"cb"))
        return decode_bit(name, BindingKind::RegisterBit);
    if (name.startsWith(u"io"))
        return decode_pin(name, 2, BindingKind::Pin);
    if (name.startsWith(u"le"))
        return decode_bit(name, BindingKind::BitIndicator);
    if (name.startsWith(u"lio"))
        return decode_pin(name, 3, BindingKind::PinIndicator);
    if (name.startsWith(u"adc"))
        return decode_measurement(name);
    return {};
}

unsigned read_field(const ControlBinding &b, std::span<const uint8_t, 256> registers) {
    if (!b.is_register())
        return 0;
    unsigned value = field_bits(registers[b.field.reg], b.field);
    if (b.two_segments)
        value |= field_bits(registers[b.field2.reg], b.field2) << b.field.width();
    return value;
}

uint8_t merge_bits(uint8_t byte, const BitRange &r, unsigned value) {
    const unsigned mask = ((1u << r.width()) - 1u) << r.low;
    return static_cast<uint8_t>((byte & ~mask) | ((value << r.low) & mask));
}

unsigned second_segment_value(const ControlBinding &b, unsigned value) {
    if (!b.two_segments)
        return 0;
    return (value >> b.field.width()) & ((1u << b.field2.width()) - 1u);
}

int item_for_value(const ControlBinding &b, unsigned value) {
    int index = static_cast<int>(value);
    if (b.one_hot) {
        // The lowest set bit among bits 0 to 6 names the item; an empty field
        // shows item 0 and a field with only bit 7 (or higher) set item 7.
        index = 7;
        if (value == 0)
            index = 0;
        for (int bit = 0; bit < 7 && value != 0; ++bit) {
            if (value & (1u << bit)) {
                index = bit;
                break;
            }
        }
    }
    return index - b.item_offset;
}

unsigned value_for_item(const ControlBinding &b, int index) {
    unsigned value =
        b.one_hot ? (index >= 0 && index < 32 ? 1u << index : 0u) : static_cast<unsigned>(index);
    return value + static_cast<unsigned>(b.item_offset);
}

QStringList output_voltage_items() {
    QStringList items;
    using namespace evalpanel;
    for (int v = kOutputVoltageFirstItem; v <= kOutputVoltageLastItem; ++v)
        items << QString::asprintf("%d mV", kOutputVoltageZeroMv + v * kOutputVoltageStepMv);
    return items;
}

QStringList delay_items() {
    QStringList items;
    for (int i = 0; i < evalpanel::kDelayNever; ++i)
        items << QString::asprintf("%1.1f ms", i * evalpanel::kDelayStepMs);
    items << QStringLiteral("never");
    return items;
}
