// Words and numbers of the control language, and the forms of its answers.
// Every parser reads the whole word or fails; nothing is locale-dependent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace virtualkit {

// Splits a line into words at blanks and tabs, at most `max_words` (the
// rest is dropped). False when the line holds control characters.
bool split_words(std::string_view line, size_t max_words, std::vector<std::string> *words);

// A word as it may be quoted back in an error: at most `max` characters,
// anything unprintable as '?'.
std::string printable(std::string_view word, size_t max);

// An unsigned number in `base` (16 also takes a 0x prefix), at most `max`.
bool parse_unsigned(std::string_view word, int base, unsigned max, unsigned *value);
// "on" or "off".
bool parse_on_off(std::string_view word, bool *on);
// A pin group: 0 or A (port A), 1 or B (port B).
bool parse_group(std::string_view word, unsigned *group);
// A finite decimal number, possibly negative or fractional.
bool parse_real(std::string_view word, double *value);
// "X.Y.Z", each part 0..255, as a version word.
bool parse_version(std::string_view word, uint32_t *version);

// "X.Y.Z" of a version word, or "none" for all ones.
std::string version_text(uint32_t version);
// Bytes as two-digit hex numbers separated by blanks.
std::string hex_bytes(const uint8_t *data, size_t n);
// Microseconds as milliseconds with three decimals.
std::string format_ms(uint64_t us);

} // namespace virtualkit
