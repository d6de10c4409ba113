// Value syntax of register expressions: hexadecimal ("0x1f", "1fh", "1FH"),
// binary ("b11111", "11111b") and decimal ("31").
#pragma once

#include <cstdint>

namespace console {

// Parses a value text. Tries, in order: "0x" hex, hex with an "h" or "H"
// suffix, binary with a leading "b", binary with a trailing "b", and a
// decimal number not directly followed by a letter a-f. Gives 0 and stores
// the value, or -1 when the text is in none of these forms.
// Negative decimals give their 32-bit two's complement; numbers that do not
// fit in 32 bits give 0xFFFFFFFF, so they fail every bounds check instead of
// wrapping to a small value.
int get_val(const char *text, uint32_t *value);

} // namespace console
