// The definition lines, their lookups, field widths and numeric address
// forms: everything that needs no adapter.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "malformed_lines.h"
#include "registers/register_table.h"
#include "registers/status_script.h"

namespace evalpanel {
namespace {

using test::kMalformedFieldLines;

std::string line_of(int index) {
    return index >= 0 ? register_table[index] : std::string("<none>");
}

TEST(RegisterTable, KindsInTableOrderAndUniqueNames) {
    std::vector<std::string> kinds;
    std::set<std::string> names;
    for (const char *line : register_table) {
        char kind[16] = {};
        char name[kLineSize] = {};
        ASSERT_EQ(std::sscanf(line, "%15[a-z_](%255[^,]", kind, name), 2) << line;
        if (kinds.empty() || kinds.back() != kind)
            kinds.push_back(kind);
        EXPECT_TRUE(names.insert(name).second) << "duplicate " << name;
        EXPECT_LE(std::strlen(line), 60u) << line;
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"hwreg", "lreg", "io_pin"}));
    EXPECT_EQ(names.size(), kRegisterTableSize);
    EXPECT_EQ(find_reg_by_name("MASK_TEMP") - find_reg_by_name("VSET_B0") + 1, 100);
    EXPECT_EQ(find_reg_by_name("VSET_B0"), 36);
}

// Every field of the table has a location the sweeps accept, and every name
// finds its own line.
TEST(RegisterTable, EveryLineParsesAndFindsItself) {
    for (std::size_t i = 0; i < kRegisterTableSize; ++i) {
        const char *line = register_table[i];
        char name[kLineSize] = {};
        if (std::sscanf(line, "io_pin(%255[^,]", name) == 1) {
            EXPECT_EQ(find_io_pin_by_name(name), static_cast<int>(i));
            continue;
        }
        ASSERT_TRUE(std::sscanf(line, "lreg(%255[^,]", name) == 1 ||
                    std::sscanf(line, "hwreg(%255[^,]", name) == 1)
            << line;
        EXPECT_EQ(find_reg_by_name(name), static_cast<int>(i));
        if (std::strncmp(line, "lreg(", 5) == 0) {
            EXPECT_GT(get_reg_max(line), 0u) << line;
        }
    }
}

struct LookupCase {
    const char *name;
    const char *reg_line; // nullptr: find_reg_by_name finds nothing
    const char *pin_line; // nullptr: find_io_pin_by_name finds nothing
};

void PrintTo(const LookupCase &c, std::ostream *os) {
    *os << (c.name[0] ? c.name : "<empty>");
}

class Lookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, FindsExactNamesOnly) {
    const LookupCase &c = GetParam();
    char line[kLineSize] = "untouched";
    const int reg = find_reg_by_name(c.name, line, sizeof line);
    if (c.reg_line == nullptr) {
        EXPECT_EQ(reg, -1) << line_of(reg);
        EXPECT_STREQ(line, "untouched");
    } else {
        EXPECT_STREQ(line_of(reg).c_str(), c.reg_line);
        EXPECT_STREQ(line, c.reg_line);
    }
    const int pin = find_io_pin_by_name(c.name);
    if (c.pin_line == nullptr)
        EXPECT_EQ(pin, -1) << line_of(pin);
    else
        EXPECT_STREQ(line_of(pin).c_str(), c.pin_line);
}

const std::string kLongName = "VSET_B0" + std::string(60, 'X');

INSTANTIATE_TEST_SUITE_P(
    Names, Lookup,
    ::testing::Values(
        LookupCase{"VSET_B0", "lreg(VSET_B0, (RW, \"0x00[6:0]@0\"));", nullptr},
        LookupCase{"vset_b0", nullptr, nullptr}, LookupCase{"VSET_B", nullptr, nullptr},
        LookupCase{"VSET_B00", nullptr, nullptr},
        LookupCase{"R_VSET_B0", "hwreg(R_VSET_B0, 0x00 _PAGE(0));", nullptr},
        LookupCase{"R_INT_MASK_2", "hwreg(R_INT_MASK_2, 0x2e _PAGE(0));", nullptr},
        LookupCase{"FPWM_B0", "lreg(FPWM_B0, (RW, \"0x06[0]@0\", REG_STATIC, 0x00));", nullptr},
        LookupCase{"PIN_INT", nullptr, "io_pin(PIN_INT,PA18,R);"}, LookupCase{"", nullptr, nullptr},
        LookupCase{kLongName.c_str(), nullptr, nullptr}));

TEST(Lookup, SmallBufferGetsNoCutLine) {
    char line[20] = "untouched";
    EXPECT_EQ(find_reg_by_name("VSET_B0", line, sizeof line), -1);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(find_reg_by_name(nullptr), -1);
}

struct AddressCase {
    unsigned address;
    int high;
    const char *name; // nullptr: nothing found
};

void PrintTo(const AddressCase &c, std::ostream *os) {
    *os << std::hex << "0x" << c.address << "[" << std::dec << c.high << "]";
}

class AddressLookup : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressLookup, MatchesFirstSegmentOnly) {
    const AddressCase &c = GetParam();
    char name[64] = "untouched";
    const int found = find_lreg_by_address(name, sizeof name, c.address, c.high, 0);
    if (c.name == nullptr) {
        EXPECT_EQ(found, 0);
        EXPECT_STREQ(name, "untouched");
    } else {
        EXPECT_EQ(found, 1);
        EXPECT_STREQ(name, c.name);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, AddressLookup,
    ::testing::Values(AddressCase{0x21, 6, "BUCK_LOAD_CURR"},
                      AddressCase{0x21, 2, "LOAD_CURRENT_SOURCE"}, AddressCase{0x21, 3, nullptr},
                      AddressCase{0x22, 7, nullptr}, // second segment
                      AddressCase{0x0A, 7, "OC_LEV_B3"}, AddressCase{0x06, 3, "FPWM_B3"},
                      AddressCase{0x2E, 0, "MASK_TEMP"}, AddressCase{0x18, 6, "OTP_REV"}));

struct NumericCase {
    const char *text;
    const char *line; // nullptr: no line built
};

void PrintTo(const NumericCase &c, std::ostream *os) {
    *os << '"' << c.text << '"';
}

class NumericAccess : public ::testing::TestWithParam<NumericCase> {};

TEST_P(NumericAccess, BuildsLineOrNothing) {
    const NumericCase &c = GetParam();
    char line[kLineSize] = "untouched";
    const int built = make_numeric_access(c.text, line, sizeof line);
    if (c.line == nullptr) {
        EXPECT_EQ(built, 0) << c.text << " built " << line;
    } else {
        EXPECT_EQ(built, 1);
        EXPECT_STREQ(line, c.line);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NumericAccess,
    ::testing::Values(NumericCase{"0x2e[3:0]", "lreg(NUMERIC_ACCESS_0x2E,\t(RW,\"0x2e[3:0]@0\"));"},
                      NumericCase{"0x12[5]", "lreg(NUMERIC_ACCESS_0x12,\t(RW,\"0x12[5:5]@0\"));"},
                      NumericCase{"0x2e", "hwreg(NUMERIC_ACCESS_0x2E,\t0x2E _PAGE(0));"},
                      NumericCase{"0x5", "hwreg(NUMERIC_ACCESS_0x05,\t0x05 _PAGE(0));"},
                      NumericCase{"0xFF[7:0]", "lreg(NUMERIC_ACCESS_0xFF,\t(RW,\"0xff[7:0]@0\"));"},
                      // A bracket that does not close still counts once all values read.
                      NumericCase{"0x12[3:", "lreg(NUMERIC_ACCESS_0x12,\t(RW,\"0x12[3:3]@0\"));"},
                      NumericCase{"0x12[", "hwreg(NUMERIC_ACCESS_0x12,\t0x12 _PAGE(0));"},
                      NumericCase{"2e", nullptr}, NumericCase{"0X2e", nullptr},
                      NumericCase{"0x", nullptr}, NumericCase{"", nullptr},
                      NumericCase{"VSET_B0", nullptr},
                      // Out-of-range bit numbers build nothing, and are not retried as a
                      // whole-register address.
                      NumericCase{"0x12[8]", nullptr}, NumericCase{"0x12[9:0]", nullptr},
                      NumericCase{"0x12[7:8]", nullptr}, NumericCase{"0x12[2:3]", nullptr},
                      NumericCase{"0x12[-1]", nullptr}, NumericCase{"0x12[3:-1]", nullptr},
                      // The address is one or two hex digits and nothing else.
                      NumericCase{"0x123", nullptr}, NumericCase{"0x100[3:0]", nullptr},
                      NumericCase{"0x012", nullptr}, NumericCase{"0x-1", nullptr},
                      NumericCase{"0x+12", nullptr}, NumericCase{"0x0x12", nullptr},
                      NumericCase{"0x 12", nullptr}));

TEST(NumericAccess, TooSmallBufferBuildsNothing) {
    char line[16] = "untouched";
    EXPECT_EQ(make_numeric_access("0x2e[3:0]", line, sizeof line), 0);
    EXPECT_STREQ(line, "");
}

struct MaxCase {
    const char *text; // a name, or a numeric form
    uint32_t max;
};

void PrintTo(const MaxCase &c, std::ostream *os) {
    *os << c.text;
}

class FieldMax : public ::testing::TestWithParam<MaxCase> {};

TEST_P(FieldMax, FollowsTheWidth) {
    const MaxCase &c = GetParam();
    char line[kLineSize] = {};
    ASSERT_TRUE(find_reg_by_name(c.text, line, sizeof line) >= 0 ||
                make_numeric_access(c.text, line, sizeof line) == 1)
        << c.text;
    EXPECT_EQ(get_reg_max(line), c.max) << line;
}

INSTANTIATE_TEST_SUITE_P(Widths, FieldMax,
                         ::testing::Values(MaxCase{"VSET_B0", 127}, MaxCase{"EN_DIS_B0", 1},
                                           MaxCase{"TEMP", 3}, MaxCase{"OTP_REV", 31},
                                           MaxCase{"BUCK_LOAD_CURR", 2047},
                                           MaxCase{"R_VSET_B0", 255}, MaxCase{"0x12", 255},
                                           MaxCase{"0x12[3:1]", 7}, MaxCase{"0x12[5]", 1},
                                           MaxCase{"0x2e[7:0]", 255}));

// Lines that no table or numeric form produces must still be measured
// safely: no garbage shifts, no cut names.
TEST(MalformedLines, HaveNoWidth) {
    for (const char *line : kMalformedFieldLines)
        EXPECT_EQ(get_reg_max(line), 0u) << line;
    // More segments than a 32-bit value has bits.
    std::string many = "lreg(MANY, (RW, \"";
    for (int i = 0; i < 40; ++i)
        many += "0x00[0]@0,";
    many += "\"));";
    EXPECT_EQ(get_reg_max(many.c_str()), 0u);
    // A name longer than 63 characters makes no lreg line at all.
    const std::string long_lreg = "lreg(" + std::string(64, 'N') + ", (RW, \"0x00[6:0]@0\"));";
    EXPECT_EQ(get_reg_max(long_lreg.c_str()), 255u);
}

TEST(MalformedLines, UnterminatedLocationIsReadWithinItsText) {
    // Each text ends before the fixed step to the next segment; behind its
    // terminator lies a segment that a read past the end would pick up.
    struct Case {
        std::string text;
        uint32_t max;
    };
    const std::vector<Case> cases = {
        {"lreg(X, (RW, \"0x00[6:0]@0", 127},
        {"lreg(X, (RW, \"0x00[6:0]", 127},
        {"lreg(X, (RW, \"0x00[6]@", 1},
        {"lreg(X, (RW, \"0x21[6:4]@0,0x22[7:0]@", 2047},
    };
    for (const Case &c : cases) {
        std::string buffer = c.text;
        buffer.push_back('\0');
        buffer += "0x01[7:0]@0,0x02[7:0]@0\"));";
        EXPECT_EQ(get_reg_max(buffer.c_str()), c.max) << c.text;
    }
}

TEST(StatusScript, StepsCoverTheImageAndThePatchedOffsets) {
    // Operand counts by opcode.
    auto operands = [](uint8_t op) {
        switch (op) {
        case 0x00:
            return 2;
        case 0x01:
        case 0x02:
        case 0x05:
        case 0x06:
            return 3;
        case 0x04:
            return 5;
        default:
            return -1;
        }
    };
    std::vector<std::size_t> selects; // offsets of 0x00 steps
    std::size_t at = 0;
    while (at < kStatusScriptSize && kStatusScriptImage[at] != 0xFF) {
        const int n = operands(kStatusScriptImage[at]);
        ASSERT_GE(n, 0) << "unknown opcode at " << at;
        if (kStatusScriptImage[at] == 0x00)
            selects.push_back(at);
        if (kStatusScriptImage[at] == 0x04 && kStatusScriptImage[at + 1] == 0) {
            EXPECT_EQ(at + 1, kScriptBusPinsOffset);
        }
        at += 1 + n;
    }
    EXPECT_EQ(at, 165u);
    ASSERT_EQ(selects.size(), 3u);
    EXPECT_EQ(selects.front() + 1, kScriptAddressOffset);
    EXPECT_EQ(selects.front() + 2, kScriptSpeedOffset);
    EXPECT_EQ(selects.back() + 1, kScriptLastAddressOffset);
    EXPECT_EQ(selects.back() + 2, kScriptLastSpeedOffset);
    EXPECT_EQ(kStatusScriptImage[kScriptAddressOffset], 0x60);
    EXPECT_EQ(kStatusScriptImage[kScriptLastAddressOffset], 0x60);
    EXPECT_EQ(kStatusScriptImage[selects[1] + 1], 0x48);
}

} // namespace
} // namespace evalpanel
