// The definition lines, their lookups, field widths and numeric address
// forms: everything that is text only.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "malformed_lines.h"
#include "registers/field_meaning.h"
#include "registers/register_map.h"
#include "registers/register_table.h"

namespace evalpanel {
namespace {

using namespace std::string_literals;

TEST(RegisterTable, KindsInOrderAndEveryNameFindsItsLine) {
    std::vector<std::string> kinds;
    for (std::size_t i = 0; i < kRegisterTableSize; ++i) {
        char kind[16] = {};
        char name[kLineSize] = {};
        ASSERT_EQ(std::sscanf(register_table[i], "%15[a-z_](%255[^,]", kind, name), 2);
        if (kinds.empty() || kinds.back() != kind)
            kinds.push_back(kind);
        const int as_reg = find_reg_by_name(name), as_pin = find_io_pin_by_name(name);
        EXPECT_EQ(kinds.back() == "io_pin" ? as_pin : as_reg, static_cast<int>(i)) << name;
        EXPECT_LT(kinds.back() == "io_pin" ? as_reg : as_pin, 0) << name; // no name twice
        if (kinds.back() == "lreg") { // every location is one the reader accepts
            EXPECT_GT(get_reg_max(register_table[i]), 0u) << name;
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"hwreg", "lreg", "io_pin"}));
}

// A text names a line exactly (case-sensitive, whole names of the right
// kind) or is a numeric form; the line found or built, and its field width.
TEST(RegisterTable, LinesByNameOrNumericForm) {
    const std::string too_long = "VSET_B0" + std::string(60, 'X');
    const struct {
        const char *text;
        const char *reg_line; // nullptr: none found or built
        const char *pin_line;
        uint32_t max; // of reg_line
    } cases[] = {
        {"VSET_B0", "lreg(VSET_B0, (RW, \"0x00[6:0]@0\"));", nullptr, 127},
        {"R_VSET_B0", "hwreg(R_VSET_B0, 0x00 _PAGE(0));", nullptr, 255},
        {"FPWM_B0", "lreg(FPWM_B0, (RW, \"0x06[0]@0\", REG_STATIC, 0x00));", nullptr, 1},
        {"PIN_INT", nullptr, "io_pin(PIN_INT,PA18,R);", 0},
        {"0x2e[3:0]", "lreg(NUMERIC_ACCESS_0x2E,\t(RW,\"0x2e[3:0]@0\"));", nullptr, 15},
        {"0x12[5]", "lreg(NUMERIC_ACCESS_0x12,\t(RW,\"0x12[5:5]@0\"));", nullptr, 1},
        {"0x12[3:1]", "lreg(NUMERIC_ACCESS_0x12,\t(RW,\"0x12[3:1]@0\"));", nullptr, 7},
        {"0x5", "hwreg(NUMERIC_ACCESS_0x05,\t0x05 _PAGE(0));", nullptr, 255},
        // All values read: an unfinished range is its first bit.
        {"0x12[3:", "lreg(NUMERIC_ACCESS_0x12,\t(RW,\"0x12[3:3]@0\"));", nullptr, 1},
        {"vset_b0", nullptr, nullptr, 0}, {"VSET_B", nullptr, nullptr, 0},
        {"", nullptr, nullptr, 0},        {too_long.c_str(), nullptr, nullptr, 0},
        // Bit numbers out of range build nothing, not even a whole-register
        // line; the address is one or two hex digits and nothing else.
        {"2e", nullptr, nullptr, 0},        {"0x", nullptr, nullptr, 0},
        {"0x12[8]", nullptr, nullptr, 0},   {"0x12[2:3]", nullptr, nullptr, 0},
        {"0x12[-1]", nullptr, nullptr, 0},  {"0x123", nullptr, nullptr, 0},
        {"0x-1", nullptr, nullptr, 0}};
    for (const auto &c : cases) {
        char reg[kLineSize] = "-";
        char pin[kLineSize] = "-";
        const bool named = find_reg_by_name(c.text, reg, sizeof reg) >= 0;
        if (!named) {
            EXPECT_STREQ(reg, "-") << c.text; // a miss writes nothing
        }
        const bool built = !named && make_numeric_access(c.text, reg, sizeof reg) == 1;
        EXPECT_EQ(named || built, c.reg_line != nullptr) << c.text;
        if (c.reg_line) {
            EXPECT_STREQ(reg, c.reg_line);
            EXPECT_EQ(get_reg_max(reg), c.max) << c.text;
        }
        EXPECT_EQ(find_io_pin_by_name(c.text, pin, sizeof pin) >= 0, c.pin_line != nullptr);
        EXPECT_STREQ(pin, c.pin_line ? c.pin_line : "-") << c.text;
    }
    char small[20] = "-"; // a line that does not fit is not cut, nor built
    EXPECT_EQ(find_reg_by_name("VSET_B0", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(make_numeric_access("0x2e[3:0]", small, sizeof small), 0);
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

// Lines no table or numeric form produces are measured safely: no garbage
// shifts, no reads past the text, no cut names.
TEST(RegisterTable, MalformedLinesHaveNoWidth) {
    for (const char *line : test::kMalformedFieldLines)
        EXPECT_EQ(get_reg_max(line), 0u) << line;
    std::string many = "lreg(MANY, (RW, \""; // more segments than value bits
    for (int i = 0; i < 40; ++i)
        many += "0x00[0]@0,";
    // The cut texts end before the fixed step to the next segment; behind the
    // terminator lies a segment that a read past the end would pick up.
    const std::string behind = "\0" "0x01[7:0]@0,0x02[7:0]@0\"));"s;
    const struct {
        std::string text;
        uint32_t max;
    } cases[] = {{many + "\"));", 0},
                 {"lreg(" + std::string(64, 'N') + ", (RW, \"0x00[6:0]@0\"));", 255}, // not lreg
                 {"lreg(X, (RW, \"0x00[6:0]@0" + behind, 127},
                 {"lreg(X, (RW, \"0x00[6]@" + behind, 1},
                 {"lreg(X, (RW, \"0x21[6:4]@0,0x22[7:0]@" + behind, 2047}};
    for (const auto &c : cases)
        EXPECT_EQ(get_reg_max(c.text.c_str()), c.max) << c.text;
}

// Every value of every field has a text; a field's choices are exactly its
// values with a meaning, and each choice reads back as its own text.
TEST(FieldMeaning, EveryValueHasATextAndChoicesMatchIt) {
    for (const FieldInfo &f : register_map().fields) {
        const unsigned count = 1u << std::min(f.width, 8);
        for (unsigned v = 0; v < count; ++v)
            EXPECT_FALSE(field_value_text(f, v).isEmpty()) << f.name.toStdString() << " " << v;
        for (const auto &[value, text] : field_choices(f))
            EXPECT_EQ(field_value_text(f, value), text) << f.name.toStdString();
    }
    const struct {
        const char *field;
        size_t choices;
        const char *first, *last;
    } rows[] = {{"VSET_B2", 108, "600 mV", "1670 mV"}, {"OC_LEV_B1", 3, "1.5 A", "2.5 A"},
                {"PFM_EXIT_B5", 5, "175 mA", "375 mA"}, {"DELAY_B3", 256, "0.0 ms", "never"},
                {"MASK_UVLO", 2, "reaches INT", "masked"}, {"DIE_REV", 0, nullptr, nullptr}};
    for (const auto &r : rows) {
        const auto choices = field_choices(*register_map().field_named(QString::fromLatin1(r.field)));
        ASSERT_EQ(choices.size(), r.choices) << r.field;
        if (r.choices > 0) {
            EXPECT_EQ(choices.front().second, QString::fromUtf8(r.first)) << r.field;
            EXPECT_EQ(choices.back().second, QString::fromUtf8(r.last)) << r.field;
        }
    }
    EXPECT_EQ(register_meaning(*register_map().register_named(QStringLiteral("R_VSET_B0")),
                               std::array<uint8_t, 256>{0xB0}),
              QStringLiteral("EN_DIS_B0 = enabled, VSET_B0 = 980 mV"));
}

} // namespace
} // namespace evalpanel
