#include <cstdint>

#include <gtest/gtest.h>

#include "registers/value_parse.h"

using evalpanel::get_val;

namespace {

TEST(GetVal, AcceptedForms) {
    const struct {
        const char *text;
        uint32_t value;
    } rows[] = {
        // The same 31 in every accepted notation.
        {"0x1f", 31}, {"1fh", 31}, {"1FH", 31}, {"31", 31}, {"b11111", 31}, {"11111b", 31},
        // Hex forms and their order: "b1h" is hex b1, not binary.
        {"0ffh", 0xFF}, {"b1h", 0xB1}, {"0x12 trailing", 0x12},
        // Binary digits stop at the first other character; no digit gives 0.
        {"b", 0}, {"ab", 0}, {"b102", 2}, {"1010b", 10},
        // Only bits 0..31 exist: a 1 in bit 35 vanishes, 40 ones fill the word.
        {"b100000000000000000000000000000000000", 0},
        {"b1111111111111111111111111111111111111111", 0xFFFFFFFF},
        // Decimal, with anything but a-f allowed behind it.
        {"12z", 12}, {"0X1F", 0},
        // Negative numbers wrap to large unsigned values; numbers beyond 32
        // bits saturate instead of wrapping back to small ones.
        {"-1", 0xFFFFFFFF}, {"4294967296", 0xFFFFFFFF}, {"4294967551", 0xFFFFFFFF},
        {"0x100000000", 0xFFFFFFFF}, {"99999999999999999999999", 0xFFFFFFFF}};
    for (const auto &r : rows) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(get_val(r.text, &value), 0) << r.text;
        EXPECT_EQ(value, r.value) << r.text;
    }
}

// A rejected text fails and leaves the value as it was.
TEST(GetVal, RejectedForms) {
    for (const char *text : {"0b101", "1a", "12A", "", "xyz", "=", "-", "h"}) {
        uint32_t value = 7;
        EXPECT_EQ(get_val(text, &value), -1) << text;
        EXPECT_EQ(value, 7u) << text;
    }
}

} // namespace
