#include "binding.h"
#include "live_rule.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

// The binding in short: "S 00 6..0 +10 1hot | 04 1..0", "B 0e 3..3", "P 1.25 inv", ...
std::string describe(const ControlBinding &b) {
    char s[128] = "-";
    const BitRange &f = b.field, &g = b.field2;
    if (b.kind == BindingKind::None) {
        return s;
    } else if (b.kind == BindingKind::Pin || b.kind == BindingKind::PinIndicator) {
        std::snprintf(s, sizeof s, "%sP %d.%d", b.kind == BindingKind::Pin ? "" : "L", b.pin_group,
                      b.pin);
    } else if (b.kind == BindingKind::Measurement) {
        std::snprintf(s, sizeof s, "M %d %d %d %d %d", b.unit, b.channel, b.shift, b.factor_a,
                      b.factor_b);
    } else {
        std::snprintf(s, sizeof s, "%c %02x %d..%d", "-SBPL"[int(b.kind)], f.reg, f.high, f.low);
    }
    std::string out = s;
    out += b.item_offset ? " +" + std::to_string(b.item_offset) : "";
    out += std::string(b.one_hot ? " 1hot" : "") + (b.inverted ? " inv" : "");
    if (b.two_segments) {
        std::snprintf(s, sizeof s, " | %02x %d..%d", g.reg, g.high, g.low);
        out += s;
    }
    return out;
}

TEST(BindingDecode, Names) {
    const std::pair<const char *, const char *> rows[] = {
        // Output voltage offset 10 up to register 0x05, PFM exit offset 3 on
        // the exact name co1930 only, plain fields otherwise.
        {"co0060", "S 00 6..0 +10"}, {"co0560", "S 05 6..0 +10"}, {"co0660", "S 06 6..0"},
        {"co1930", "S 19 3..0 +3"}, {"co0A76", "S 0a 7..6"}, {"co1270s", "S 12 7..0 1hot"},
        {"co1930s", "S 19 3..0 1hot"}, {"co0060s", "S 00 6..0 +10 1hot"},
        // Two segments: no offset even on registers 0x00 to 0x05.
        {"co03730410", "S 03 7..3 | 04 1..0"}, {"co21222164s", "S 21 2..2 1hot | 21 6..4"},
        {"co037304", "S 03 7..3 +10"},
        // An indicator is never inverted.
        {"cb0e3", "B 0e 3..3"}, {"le0e0", "L 0e 0..0"}, {"io0125n", "P 1.25 inv"},
        {"lio0018n", "LP 0.18"}, {"adc010010250100", "M 1 0 10 250 100"},
        // Not bound: other names, missing numbers, impossible bit ranges, signs, blanks.
        {"comboBox_3", "-"}, {"co", "-"}, {"co12", "-"}, {"co1g30", "-"}, {"co0373041", "-"},
        {"co0736", "-"}, {"co0096", "-"}, {"co037304a9", "-"}, {"cb0e8", "-"}, {"cb0e", "-"},
        {"co-176", "-"}, {"cb 0e3", "-"}, {"io00", "-"}, {"adc01001025", "-"}, {"CO0060", "-"},
        {"mode0", "-"}, {"", "-"}};
    for (const auto &[name, want] : rows)
        EXPECT_EQ(describe(decode_binding(QString::fromLatin1(name))), want) << name;
}

TEST(BindingField, ReadsAndMergesFields) {
    std::array<uint8_t, 256> image{};
    image[0x00] = 0xB2;
    image[0x03] = 0xA8;
    image[0x04] = 0xFE;
    image[0x0E] = 0x08;
    EXPECT_EQ(read_field(decode_binding(u"co0060"), image), 0x32u); // bit 7 is not the field's
    EXPECT_EQ(read_field(decode_binding(u"cb0e3"), image), 1u);
    EXPECT_EQ(read_field(decode_binding(u"le0e2"), image), 0u);
    // 0xA8 bits 7..3 = 21 below 0xFE bits 1..0 = 2: (2 << 5) | 21.
    const ControlBinding two = decode_binding(u"co03730410");
    EXPECT_EQ(read_field(two, image), 85u);
    EXPECT_EQ(read_field(decode_binding(u"io0022"), image), 0u);

    EXPECT_EQ(merge_bits(0xB2, {0x00, 6, 0}, 10), 0x8A); // bit 7 kept as read
    EXPECT_EQ(merge_bits(0x00, {0x07, 7, 6}, 5), 0x40);  // 5 cut to 2 bits
    EXPECT_EQ(merge_bits(0x00, {0x12, 7, 0}, 0x1FF), 0xFF);
    EXPECT_EQ(second_segment_value(two, 85), 2u);
    EXPECT_EQ(second_segment_value(two, 0x3FF), 3u);
    EXPECT_EQ(merge_bits(0xFF, two.field, 85) & 0xF8, 21 << 3);
}

// One-hot selectors show the lowest set bit among bits 0 to 6; plain
// selectors are covered through the window.
TEST(BindingItems, OneHotAndRoundTrip) {
    const ControlBinding hot = decode_binding(u"co1270s");
    const std::pair<unsigned, int> rows[] = {{0x08, 3}, {0x00, 0}, {0x80, 7}, {0x0C, 2}};
    for (const auto &[value, item] : rows)
        EXPECT_EQ(item_for_value(hot, value), item) << value;
    EXPECT_EQ(item_for_value(decode_binding(u"co0060s"), 0x08), -7);
    EXPECT_EQ(value_for_item(hot, 3), 8u);

    for (const char *name : {"co0060", "co1930", "co1974", "co0776", "co1270", "co1270s"}) {
        const ControlBinding b = decode_binding(QString::fromLatin1(name));
        for (int index = 0; index < 8; ++index) {
            const unsigned value = value_for_item(b, index);
            if (value < (1u << b.field.width())) {
                EXPECT_EQ(item_for_value(b, value), index) << name << " item " << index;
            }
        }
    }
}

} // namespace

// The not-live rule: only a ready connection shows the chip's state as it
// is; a silent chip with its supply off is "not powered", not a fault.
TEST(LiveRule, WhatEachConnectionStateShows) {
    const struct {
        int state, viosys, flag;
        const char *indicator, *version, *label;
        bool masks, pins;
    } rows[] = {
        {1, 1, 1, "1", "Chip ver. 0101 0011", "ready", true, true},
        {1, 1, 0, "0", "Chip ver. 0101 0011", "ready", true, true},
        {2, 1, 1, "\u2014", "Chip ver. ---- ----", "NACK", false, true},
        {2, 0, 1, "\u2014", "Chip ver. ---- ----", "chip not powered (VIOSYS low)", false, true},
        {0, -1, 1, "\u2014", "Chip ver. ---- ----", "not connected", false, false},
        {0, 0, 0, "\u2014", "Chip ver. ---- ----", "not connected", false, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "state " << r.state << " viosys " << r.viosys);
        const LiveRule rule(r.state, r.viosys);
        const IndicatorShown shown = rule.indicator(r.flag);
        EXPECT_EQ(shown.text.toStdString(), r.indicator);
        // A dash is on grey; a live level keeps its colour.
        const Rgb want = r.state == 1 ? indicator_colour(r.flag) : kNotLive;
        EXPECT_EQ(shown.colour.red, want.red);
        EXPECT_EQ(rule.chip_version(0x53, true).trimmed().toStdString(), r.version);
        EXPECT_EQ(rule.chip_version(0x53, false), kChipVersionLabelInitial); // never read
        EXPECT_EQ(rule.connection()->label.trimmed().toStdString(), r.label);
        EXPECT_EQ(rule.register_control_enabled(true), r.masks);
        EXPECT_FALSE(rule.register_control_enabled(false));
        EXPECT_EQ(rule.pin_control_enabled(), r.pins);
    }
}
