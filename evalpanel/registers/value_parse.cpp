#include "registers/value_parse.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace evalpanel {

namespace {

constexpr int kMaxBinaryDigits = 63;

uint32_t clamp_unsigned(unsigned long long v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

// long long: a long has only 32 bits on Windows, too few to tell a number
// beyond 32 bits from one within.
uint32_t clamp_signed(long long v) {
    if (v > static_cast<long long>(UINT32_MAX) || v < static_cast<long long>(INT32_MIN))
        return UINT32_MAX;
    return static_cast<uint32_t>(v);
}

// Reads binary digits from the start of text until the first character
// that is not 0 or 1; the last digit is bit 0. Digits beyond bit 31 are
// looked at but have no place in the value.
uint32_t binary_digits(const char *text) {
    int count = 0;
    while (count < kMaxBinaryDigits && (text[count] == '0' || text[count] == '1'))
        ++count;
    uint32_t value = 0;
    for (int bit = 0; bit < count && bit < 32; ++bit) {
        if (text[count - 1 - bit] == '1')
            value |= 1u << bit;
    }
    return value;
}

} // namespace

int get_val(const char *text, uint32_t *value) {
    unsigned long long hex = 0;
    char suffix = 0;
    if (sscanf(text, "0x%llx", &hex) == 1) {
        *value = clamp_unsigned(hex);
        return 0;
    }
    if (sscanf(text, "%llx%c", &hex, &suffix) == 2 && suffix == 'h') {
        *value = clamp_unsigned(hex);
        return 0;
    }
    if (sscanf(text, "%llx%c", &hex, &suffix) == 2 && suffix == 'H') {
        *value = clamp_unsigned(hex);
        return 0;
    }
    size_t length = strlen(text);
    if (text[0] == 'b') {
        *value = binary_digits(text + 1);
        return 0;
    }
    if (length > 0 && text[length - 1] == 'b') {
        *value = binary_digits(text);
        return 0;
    }
    long long decimal = 0;
    char letter[2];
    if (sscanf(text, "%lld%1[a-fA-F]", &decimal, letter) == 1) {
        *value = clamp_signed(decimal);
        return 0;
    }
    return -1;
}

} // namespace evalpanel

namespace evalpanel {

namespace {

bool all_of(std::string_view text, const char *digits) {
    return !text.empty() && text.find_first_not_of(digits) == std::string_view::npos;
}

constexpr const char *kHex = "0123456789abcdefABCDEF";
constexpr const char *kBinary = "01";
constexpr const char *kDecimal = "0123456789";

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

bool parse_value_text(std::string_view text, uint32_t *value) {
    if (text.empty() || text.size() > kMaxValueText)
        return false;
    if (starts_with(text, "0b") && all_of(text.substr(2), kBinary)) {
        uint32_t v = 0;
        for (char c : text.substr(2)) {
            if (v > (UINT32_MAX >> 1)) {
                v = UINT32_MAX; // beyond 32 bits: fails every bound
                break;
            }
            v = v << 1 | static_cast<uint32_t>(c - '0');
        }
        *value = v;
        return true;
    }
    const char last = text.back();
    const bool whole = (starts_with(text, "0x") && all_of(text.substr(2), kHex)) ||
                       ((last == 'h' || last == 'H') && all_of(text.substr(0, text.size() - 1), kHex)) ||
                       (text[0] == 'b' && all_of(text.substr(1), kBinary)) ||
                       (last == 'b' && all_of(text.substr(0, text.size() - 1), kBinary)) ||
                       all_of(text[0] == '-' ? text.substr(1) : text, kDecimal);
    // The checks above leave no NUL byte, so get_val sees the whole text.
    const std::string copy(text);
    return whole && get_val(copy.c_str(), value) == 0;
}

} // namespace evalpanel
