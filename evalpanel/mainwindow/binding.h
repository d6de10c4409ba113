// Decoding of the object names that bind the main window's controls to chip
// registers, adapter pins and converter inputs.
//
// There is no table of controls: each bound control carries its binding in
// its object name. The prefix says what kind of binding it is and is followed
// by fixed-width numbers:
//
//   co RR H L          combo box over register 0xRR bits H..L (hex digits)
//   co RR H L RR H L   two segments: the second register holds the high part
//   cb RR B            check box or push button over register 0xRR bit B
//   io GG PP           check box or push button driving pin PP of group GG
//   le RR B            indicator of register 0xRR bit B
//   lio GG PP          indicator of pin PP of group GG
//   adc UU CC SS AAA BBB  converter unit, channel, shift, factors a and b
//                        in hundredths (decimal digits)
//
// A co name ending in "s" is a one-hot selector (the field holds 1 << item);
// an io name ending in "n" drives and shows the inverted level. A co name of at
// most 8 characters has one segment, a longer one two.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <span>

// Patterns by which the main window collects its bound controls. They are
// matched anywhere in the object name, not against the whole name.
inline constexpr char kBoundButtonPattern[] = "(io[0-9].*|cb[0-9].*)";
inline constexpr char kBoundComboPattern[] = "co[0-9].*";
inline constexpr char kBoundEditPattern[] = "(le[0-9].*|lio[0-9].*|adc[0-9].*)";
inline constexpr char kMultiphasePattern[] = "multiphase*";
inline constexpr char kMeasurementPattern[] = "adc[0-9].*";

enum class BindingKind {
    None,         // not a bound name, or one whose numbers cannot be read
    Selector,     // co
    RegisterBit,  // cb
    Pin,          // io
    BitIndicator, // le
    PinIndicator, // lio
    Measurement,  // adc
};

// Bits high..low of one register.
struct BitRange {
    int reg = 0;
    int high = 0;
    int low = 0;

    int width() const { return high - low + 1; }
    bool operator==(const BitRange &) const = default;
};

struct ControlBinding {
    BindingKind kind = BindingKind::None;

    // Selector: the first segment (the field's low part). RegisterBit and
    // BitIndicator: the bit, with high == low.
    BitRange field;
    // Selector with two segments: the field's high part.
    bool two_segments = false;
    BitRange field2;
    // Selector whose field holds 1 << item index.
    bool one_hot = false;
    // Selector: the field value that item 0 stands for.
    int item_offset = 0;

    // Pin and PinIndicator.
    int pin_group = 0;
    int pin = 0;
    // Pin: drives and shows the opposite level.
    bool inverted = false;

    // Measurement: converter unit and channel, right shift of the product,
    // factors a and b in hundredths.
    int unit = 0;
    int channel = 0;
    int shift = 0;
    int factor_a = 0;
    int factor_b = 0;

    // True for the bindings that read and write register bits.
    bool is_register() const {
        return kind == BindingKind::Selector || kind == BindingKind::RegisterBit ||
               kind == BindingKind::BitIndicator;
    }
};

// Decodes an object name. Names without a known prefix, names whose numbers
// cannot all be read, and names with a bit number above 7 or a high bit
// below its low bit give kind None: such a control is bound to nothing.
ControlBinding decode_binding(QStringView object_name);

// The field value of a register binding in a 256-byte register image: the
// bits of the first segment shifted down to bit 0, with the second segment's
// bits above them.
unsigned read_field(const ControlBinding &binding, std::span<const uint8_t, 256> registers);

// Replaces bits range.low..range.high of byte by value, cut to the range's
// width.
uint8_t merge_bits(uint8_t byte, const BitRange &range, unsigned value);

// The part of a selector's value that goes into its second segment.
unsigned second_segment_value(const ControlBinding &binding, unsigned value);

// Item index that a selector shows for a field value. The result may be
// negative or beyond the item list: the selector then shows no item.
int item_for_value(const ControlBinding &binding, unsigned value);

// Field value that choosing item index of a selector writes (before it is cut
// to the field width).
unsigned value_for_item(const ControlBinding &binding, int index);

// Generated item lists: output voltage (600 mV to 1670 mV in 10 mV steps, the
// field values 10 to 117) and start-up delay (0.0 ms to 25.4 ms, then "never").
QStringList output_voltage_items();
QStringList delay_items();
