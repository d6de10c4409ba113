// What a field's value means, in the chip's units: "1000 mV", "2.0 A",
// "masked", "never". Every value has a text; a value the chip's tables give
// no meaning reads "3: not in the table". No I/O.
#pragma once

#include <QString>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace evalpanel {

struct FieldInfo;
struct RegisterInfo;

// The value's meaning ("1000 mV"), "N: not in the table" for a value
// without one, or the decimal value for a plain number.
QString field_value_text(const FieldInfo &field, unsigned value);
// Every value that has a meaning, with its text, in value order; empty for
// a field whose values are plain numbers (a revision, a counter).
std::vector<std::pair<unsigned, QString>> field_choices(const FieldInfo &field);
// One sentence on what the field does ("Output voltage of Buck3.").
QString field_description(const FieldInfo &field);
// The register's fields in an image, most significant first, with their
// meanings: "EN_DIS_B0 = enabled, VSET_B0 = 1000 mV".
QString register_meaning(const RegisterInfo &reg, std::span<const uint8_t, 256> image);

} // namespace evalpanel
