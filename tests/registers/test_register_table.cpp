// The definition lines, their lookups, field widths and numeric address
// forms: everything that is text only.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "malformed_lines.h"
#include "registers/register_table.h"

namespace evalpanel {
namespace {

TEST(RegisterTable, KindsInOrderAndEveryNameFindsItsLine) {
    std::vector<std::string> kinds;
    std::set<std::string> names;
    for (std::size_t i = 0; i < kRegisterTableSize; ++i) {
        char kind[16] = {};
        char name[kLineSize] = {};
        ASSERT_EQ(std::sscanf(register_table[i], "%15[a-z_](%255[^,]", kind, name), 2);
        if (kinds.empty() || kinds.back() != kind)
            kinds.push_back(kind);
        names.insert(name);
        const int found =
            kinds.back() == "io_pin" ? find_io_pin_by_name(name) : find_reg_by_name(name);
        EXPECT_EQ(found, static_cast<int>(i)) << name;
        if (kinds.back() == "lreg") { // every location is one the reader accepts
            EXPECT_GT(get_reg_max(register_table[i]), 0u) << name;
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"hwreg", "lreg", "io_pin"}));
    EXPECT_EQ(names.size(), kRegisterTableSize);
    EXPECT_EQ(find_reg_by_name("VSET_B0"), 36);
    EXPECT_EQ(find_io_pin_by_name("PIN_VIO_SYS"), 136);
}

// Name lookups: exact, case-sensitive, whole names of the right kind.
TEST(RegisterTable, LookupByName) {
    const std::string too_long = "VSET_B0" + std::string(60, 'X');
    const struct {
        const char *name;
        const char *reg_line; // nullptr: not found
        const char *pin_line;
    } cases[] = {
        {"VSET_B0", "lreg(VSET_B0, (RW, \"0x00[6:0]@0\"));", nullptr},
        {"vset_b0", nullptr, nullptr},
        {"VSET_B", nullptr, nullptr},
        {"R_VSET_B0", "hwreg(R_VSET_B0, 0x00 _PAGE(0));", nullptr},
        {"FPWM_B0", "lreg(FPWM_B0, (RW, \"0x06[0]@0\", REG_STATIC, 0x00));", nullptr},
        {"PIN_INT", nullptr, "io_pin(PIN_INT,PA18,R);"},
        {"", nullptr, nullptr},
        {too_long.c_str(), nullptr, nullptr},
    };
    for (const auto &c : cases) {
        char reg[kLineSize] = "-";
        char pin[kLineSize] = "-";
        EXPECT_EQ(find_reg_by_name(c.name, reg, sizeof reg) >= 0, c.reg_line != nullptr) << c.name;
        EXPECT_STREQ(reg, c.reg_line ? c.reg_line : "-") << c.name;
        EXPECT_EQ(find_io_pin_by_name(c.name, pin, sizeof pin) >= 0, c.pin_line != nullptr);
        EXPECT_STREQ(pin, c.pin_line ? c.pin_line : "-") << c.name;
    }
    char small[20] = "-"; // a line that does not fit is not cut
    EXPECT_EQ(find_reg_by_name("VSET_B0", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}

// Only a field's first segment is found by address.
TEST(RegisterTable, LookupByAddress) {
    const struct {
        unsigned address;
        int high;
        const char *name; // nullptr: not found
    } cases[] = {{0x21, 6, "BUCK_LOAD_CURR"}, {0x21, 2, "LOAD_CURRENT_SOURCE"},
                 {0x21, 3, nullptr},          {0x22, 7, nullptr},
                 {0x0A, 7, "OC_LEV_B3"},      {0x06, 3, "FPWM_B3"}};
    for (const auto &c : cases) {
        char name[64] = "-";
        EXPECT_EQ(find_lreg_by_address(name, sizeof name, c.address, c.high, 0), c.name ? 1 : 0);
        EXPECT_STREQ(name, c.name ? c.name : "-") << std::hex << c.address << "[" << c.high;
    }
}

TEST(RegisterTable, NumericForms) {
    const struct {
        const char *text;
        const char *line; // nullptr: no line built
    } cases[] = {
        {"0x2e[3:0]", "lreg(NUMERIC_ACCESS_0x2E,\t(RW,\"0x2e[3:0]@0\"));"},
        {"0x12[5]", "lreg(NUMERIC_ACCESS_0x12,\t(RW,\"0x12[5:5]@0\"));"},
        {"0x5", "hwreg(NUMERIC_ACCESS_0x05,\t0x05 _PAGE(0));"},
        {"0x12[3:", "lreg(NUMERIC_ACCESS_0x12,\t(RW,\"0x12[3:3]@0\"));"}, // all values read
        {"2e", nullptr},
        {"0x", nullptr},
        // Bit numbers out of range build nothing, not even a whole-register line.
        {"0x12[8]", nullptr},
        {"0x12[2:3]", nullptr},
        {"0x12[-1]", nullptr},
        // The address is one or two hex digits and nothing else.
        {"0x123", nullptr},
        {"0x100[3:0]", nullptr},
        {"0x-1", nullptr}};
    for (const auto &c : cases) {
        char line[kLineSize] = "-";
        EXPECT_EQ(make_numeric_access(c.text, line, sizeof line), c.line ? 1 : 0) << c.text;
        if (c.line) {
            EXPECT_STREQ(line, c.line);
        }
    }
    char small[16];
    EXPECT_EQ(make_numeric_access("0x2e[3:0]", small, sizeof small), 0);
}

TEST(RegisterTable, FieldMaxima) {
    const struct {
        const char *text; // a name or a numeric form
        uint32_t max;
    } cases[] = {{"VSET_B0", 127}, {"EN_DIS_B0", 1},         {"TEMP", 3},
                 {"OTP_REV", 31},  {"BUCK_LOAD_CURR", 2047}, {"R_VSET_B0", 255},
                 {"0x12", 255},    {"0x12[3:1]", 7},         {"0x12[5]", 1}};
    for (const auto &c : cases) {
        char line[kLineSize] = {};
        ASSERT_TRUE(find_reg_by_name(c.text, line, sizeof line) >= 0 ||
                    make_numeric_access(c.text, line, sizeof line) == 1);
        EXPECT_EQ(get_reg_max(line), c.max) << c.text;
    }
}

// Lines no table or numeric form produces are measured safely: no garbage
// shifts, no reads past the text, no cut names.
TEST(RegisterTable, MalformedLinesHaveNoWidth) {
    for (const char *line : test::kMalformedFieldLines)
        EXPECT_EQ(get_reg_max(line), 0u) << line;
    std::string many = "lreg(MANY, (RW, \""; // more segments than value bits
    for (int i = 0; i < 40; ++i)
        many += "0x00[0]@0,";
    EXPECT_EQ(get_reg_max((many + "\"));").c_str()), 0u);
    const std::string long_name = "lreg(" + std::string(64, 'N') + ", (RW, \"0x00[6:0]@0\"));";
    EXPECT_EQ(get_reg_max(long_name.c_str()), 255u); // not an lreg line at all

    // Each text ends before the fixed step to the next segment; behind its
    // terminator lies a segment that a read past the end would pick up.
    const struct {
        const char *text;
        uint32_t max;
    } cut[] = {{"lreg(X, (RW, \"0x00[6:0]@0", 127},
               {"lreg(X, (RW, \"0x00[6]@", 1},
               {"lreg(X, (RW, \"0x21[6:4]@0,0x22[7:0]@", 2047}};
    for (const auto &c : cut) {
        std::string buffer = c.text;
        buffer.push_back('\0');
        buffer += "0x01[7:0]@0,0x02[7:0]@0\"));";
        EXPECT_EQ(get_reg_max(buffer.c_str()), c.max) << c.text;
    }
}

} // namespace
} // namespace evalpanel
