// Value syntax of register expressions: hexadecimal ("0x1f", "1fh", "1FH"),
// binary ("b11111", "11111b") and decimal ("31"). The console reads values
// by their beginning; configuration files and dialogs take a value only
// when the whole text is one.
#pragma once

#include <cstdint>
#include <string_view>

namespace evalpanel {

// Parses a value text. Tries, in order: "0x" hex, hex with an "h" or "H"
// suffix, binary with a leading "b", binary with a trailing "b", and a
// decimal number not directly followed by a letter a-f. Gives 0 and stores
// the value, or -1 when the text is in none of these forms.
// Negative decimals give their 32-bit two's complement; numbers that do not
// fit in 32 bits give 0xFFFFFFFF, so they fail every bounds check instead of
// wrapping to a small value.
int get_val(const char *text, uint32_t *value);

// The whole of `text` is one value in a form get_val takes, or "0b" and
// binary digits (what configuration files have always taken); the value is
// get_val's. Refused: empty text, a NUL byte, a sign before hex digits,
// anything after the value, more than kMaxValueText characters.
constexpr size_t kMaxValueText = 40;
bool parse_value_text(std::string_view text, uint32_t *value);

} // namespace evalpanel
