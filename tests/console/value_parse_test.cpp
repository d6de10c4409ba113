#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "console/value_parse.h"
#include "test_names.h"

using console::get_val;

namespace {

struct Accepted {
    const char *text;
    uint32_t value;
};

class GetValAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(GetValAccepts, GivesTheValue) {
    uint32_t value = 0xDEADBEEF;
    ASSERT_EQ(get_val(GetParam().text, &value), 0) << GetParam().text;
    EXPECT_EQ(value, GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GetValAccepts,
    ::testing::Values(
        // The same 31 in every accepted notation.
        Accepted{"0x1f", 31}, Accepted{"1fh", 31}, Accepted{"1FH", 31}, Accepted{"31", 31},
        Accepted{"b11111", 31}, Accepted{"11111b", 31},
        // Hex forms and their order: "b1h" is hex b1, not binary.
        Accepted{"0ffh", 0xFF}, Accepted{"b1h", 0xB1}, Accepted{"0x12 trailing", 0x12},
        // Binary digits stop at the first other character; no digit gives 0.
        Accepted{"b", 0}, Accepted{"ab", 0}, Accepted{"b102", 2}, Accepted{"1010b", 10},
        // Only bits 0..31 exist: a 1 in bit 35 vanishes, 40 ones fill the word.
        Accepted{"b100000000000000000000000000000000000", 0},
        Accepted{"b1111111111111111111111111111111111111111", 0xFFFFFFFF},
        // Decimal, with anything but a-f allowed behind it.
        Accepted{"12z", 12}, Accepted{"0X1F", 0},
        // Negative numbers wrap to large unsigned values; numbers beyond 32
        // bits saturate instead of wrapping back to small ones.
        Accepted{"-1", 0xFFFFFFFF}, Accepted{"4294967296", 0xFFFFFFFF},
        Accepted{"4294967551", 0xFFFFFFFF}, Accepted{"0x100000000", 0xFFFFFFFF},
        Accepted{"99999999999999999999999", 0xFFFFFFFF}),
    [](const auto &info) { return case_name(info.index, info.param.text); });

class GetValRejects : public ::testing::TestWithParam<const char *> {};

TEST_P(GetValRejects, FailsAndLeavesTheValue) {
    uint32_t value = 7;
    EXPECT_EQ(get_val(GetParam(), &value), -1) << GetParam();
    EXPECT_EQ(value, 7u);
}

INSTANTIATE_TEST_SUITE_P(Forms, GetValRejects,
                         ::testing::Values("0b101", "1a", "12A", "", "xyz", "=", "-", "h"),
                         [](const auto &info) { return case_name(info.index, info.param); });

} // namespace
