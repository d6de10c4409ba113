#include "binding.h"
#include "status_bar_text.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>

namespace {

struct DecodeCase {
    const char *name;
    ControlBinding expected;
};

void PrintTo(const DecodeCase &c, std::ostream *os) {
    *os << c.name;
}

ControlBinding selector(int reg, int high, int low, int offset = 0, bool one_hot = false) {
    ControlBinding b;
    b.kind = BindingKind::Selector;
    b.field = {reg, high, low};
    b.item_offset = offset;
    b.one_hot = one_hot;
    return b;
}

ControlBinding two_segment(BitRange first, BitRange second, bool one_hot = false) {
    ControlBinding b = selector(first.reg, first.high, first.low, 0, one_hot);
    b.two_segments = true;
    b.field2 = second;
    return b;
}

ControlBinding bit(BindingKind kind, int reg, int b) {
    ControlBinding c;
    c.kind = kind;
    c.field = {reg, b, b};
    return c;
}

ControlBinding pin(BindingKind kind, int group, int p, bool inverted = false) {
    ControlBinding c;
    c.kind = kind;
    c.pin_group = group;
    c.pin = p;
    c.inverted = inverted;
    return c;
}

ControlBinding measurement(int unit, int channel, int shift, int a, int b) {
    ControlBinding c;
    c.kind = BindingKind::Measurement;
    c.unit = unit;
    c.channel = channel;
    c.shift = shift;
    c.factor_a = a;
    c.factor_b = b;
    return c;
}

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesName) {
    const DecodeCase &c = GetParam();
    const ControlBinding got = decode_binding(QString::fromLatin1(c.name));
    const ControlBinding &want = c.expected;
    ASSERT_EQ(got.kind, want.kind);
    if (want.kind == BindingKind::None)
        return;
    if (want.is_register()) {
        EXPECT_EQ(got.field, want.field);
        EXPECT_EQ(got.two_segments, want.two_segments);
        if (want.two_segments) {
            EXPECT_EQ(got.field2, want.field2);
        }
    }
    EXPECT_EQ(got.one_hot, want.one_hot);
    EXPECT_EQ(got.item_offset, want.item_offset);
    EXPECT_EQ(got.inverted, want.inverted);
    if (want.kind == BindingKind::Pin || want.kind == BindingKind::PinIndicator) {
        EXPECT_EQ(got.pin_group, want.pin_group);
        EXPECT_EQ(got.pin, want.pin);
    }
    if (want.kind == BindingKind::Measurement) {
        EXPECT_EQ(got.unit, want.unit);
        EXPECT_EQ(got.channel, want.channel);
        EXPECT_EQ(got.shift, want.shift);
        EXPECT_EQ(got.factor_a, want.factor_a);
        EXPECT_EQ(got.factor_b, want.factor_b);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DecodeTest,
    testing::Values(
        // Selectors: output voltage offset 10 up to register 0x05, PFM exit
        // offset 3 on the exact name co1930 only, plain fields otherwise.
        DecodeCase{"co0060", selector(0x00, 6, 0, 10)},
        DecodeCase{"co0560", selector(0x05, 6, 0, 10)}, DecodeCase{"co0660", selector(0x06, 6, 0)},
        DecodeCase{"co1930", selector(0x19, 3, 0, 3)}, DecodeCase{"co0A76", selector(0x0A, 7, 6)},
        DecodeCase{"co1270s", selector(0x12, 7, 0, 0, true)},
        DecodeCase{"co1930s", selector(0x19, 3, 0, 0, true)},
        DecodeCase{"co0060s", selector(0x00, 6, 0, 10, true)},
        // Two segments: no offset even on registers 0x00 to 0x05.
        DecodeCase{"co03730410", two_segment({0x03, 7, 3}, {0x04, 1, 0})},
        DecodeCase{"co21222164s", two_segment({0x21, 2, 2}, {0x21, 6, 4}, true)},
        // Bits, pins, indicators (an indicator is never inverted), measurement.
        DecodeCase{"cb0e3", bit(BindingKind::RegisterBit, 0x0E, 3)},
        DecodeCase{"le0e0", bit(BindingKind::BitIndicator, 0x0E, 0)},
        DecodeCase{"io0125n", pin(BindingKind::Pin, 1, 25, true)},
        DecodeCase{"lio0018n", pin(BindingKind::PinIndicator, 0, 18)},
        DecodeCase{"adc010010250100", measurement(1, 0, 10, 250, 100)},
        // Not bound: other names, missing numbers, impossible bit ranges,
        // signs and blanks.
        DecodeCase{"comboBox_3", {}}, DecodeCase{"co", {}}, DecodeCase{"co12", {}},
        DecodeCase{"co1g30", {}}, DecodeCase{"co037304", selector(0x03, 7, 3, 10)},
        DecodeCase{"co0373041", {}}, DecodeCase{"co0736", {}}, DecodeCase{"co0096", {}},
        DecodeCase{"co037304a9", {}}, DecodeCase{"cb0e8", {}}, DecodeCase{"cb0e", {}},
        DecodeCase{"co-176", {}}, DecodeCase{"cb 0e3", {}}, DecodeCase{"io00", {}},
        DecodeCase{"adc01001025", {}}, DecodeCase{"CO0060", {}}, DecodeCase{"mode0", {}},
        DecodeCase{"", {}}));

std::array<uint8_t, 256> image_with(std::initializer_list<std::pair<int, uint8_t>> bytes) {
    std::array<uint8_t, 256> image{};
    for (auto [reg, value] : bytes)
        image[reg] = value;
    return image;
}

TEST(BindingField, ReadsFieldsFromRegisterImage) {
    const auto image = image_with(
        {{0x00, 0xB2}, {0x03, 0xA8}, {0x04, 0xFE}, {0x07, 0xC5}, {0x0E, 0x08}, {0x19, 0x52}});
    EXPECT_EQ(read_field(decode_binding(u"co0060"), image), 0x32u); // bit 7 is not the field's
    EXPECT_EQ(read_field(decode_binding(u"co0776"), image), 3u);
    EXPECT_EQ(read_field(decode_binding(u"co0730"), image), 5u);
    EXPECT_EQ(read_field(decode_binding(u"co1974"), image), 5u);
    EXPECT_EQ(read_field(decode_binding(u"co1930"), image), 2u);
    EXPECT_EQ(read_field(decode_binding(u"cb0e3"), image), 1u);
    EXPECT_EQ(read_field(decode_binding(u"le0e2"), image), 0u);
    // 0xA8 bits 7..3 = 21 below 0xFE bits 1..0 = 2: (2 << 5) | 21.
    EXPECT_EQ(read_field(decode_binding(u"co03730410"), image), 85u);
    EXPECT_EQ(read_field(decode_binding(u"io0022"), image), 0u);
}

TEST(BindingField, MergeKeepsOtherBitsAndCutsToWidth) {
    EXPECT_EQ(merge_bits(0xB2, {0x00, 6, 0}, 10), 0x8A); // bit 7 kept as read
    EXPECT_EQ(merge_bits(0x00, {0x07, 7, 6}, 5), 0x40);  // 5 cut to 2 bits
    EXPECT_EQ(merge_bits(0xFF, {0x0E, 3, 3}, 0), 0xF7);
    EXPECT_EQ(merge_bits(0x00, {0x12, 7, 0}, 0x1FF), 0xFF);
    const ControlBinding two = decode_binding(u"co03730410");
    EXPECT_EQ(second_segment_value(two, 85), 2u);
    EXPECT_EQ(second_segment_value(two, 0x3FF), 3u);
    EXPECT_EQ(merge_bits(0xFF, two.field, 85) & 0xF8, 21 << 3);
    EXPECT_EQ(second_segment_value(decode_binding(u"co0776"), 3), 0u);
}

struct ItemCase {
    const char *name;
    unsigned value;
    int item;
};

void PrintTo(const ItemCase &c, std::ostream *os) {
    *os << c.name << " value " << c.value;
}

class ItemForValueTest : public testing::TestWithParam<ItemCase> {};

TEST_P(ItemForValueTest, ShowsItem) {
    const ItemCase &c = GetParam();
    EXPECT_EQ(item_for_value(decode_binding(QString::fromLatin1(c.name)), c.value), c.item);
}

INSTANTIATE_TEST_SUITE_P(Values, ItemForValueTest,
                         testing::Values(ItemCase{"co0060", 0x32, 40}, ItemCase{"co0060", 10, 0},
                                         ItemCase{"co0060", 9, -1}, ItemCase{"co1930", 3, 0},
                                         ItemCase{"co1930", 2, -1}, ItemCase{"co1270", 255, 255},
                                         // One-hot: the lowest set bit among bits 0 to 6.
                                         ItemCase{"co1270s", 0x08, 3}, ItemCase{"co1270s", 0x00, 0},
                                         ItemCase{"co1270s", 0x80, 7}, ItemCase{"co1270s", 0x0C, 2},
                                         ItemCase{"co0060s", 0x08, -7}));

TEST(BindingItems, ChosenItemWritesValueThatShowsItAgain) {
    for (const char *name : {"co0060", "co1930", "co1974", "co0776", "co1270", "co1270s"}) {
        const ControlBinding b = decode_binding(QString::fromLatin1(name));
        const int width = b.field.width();
        for (int index = 0; index < 8; ++index) {
            const unsigned value = value_for_item(b, index);
            if (value >= (1u << width))
                continue;
            EXPECT_EQ(item_for_value(b, value), index) << name << " item " << index;
        }
    }
    EXPECT_EQ(value_for_item(decode_binding(u"co0060"), 0), 10u);
    EXPECT_EQ(value_for_item(decode_binding(u"co1930"), 0), 3u);
    EXPECT_EQ(value_for_item(decode_binding(u"co1270s"), 3), 8u);
    EXPECT_EQ(value_for_item(decode_binding(u"co1033"), 1), 1u);
}

TEST(StatusBar, AccessAndChipVersionLabels) {
    EXPECT_EQ(access_label_text(0, 0, true), "   W00:00   ");
    EXPECT_EQ(access_label_text(0x0E, 0xAB, false), "   R0e:ab   ");
    EXPECT_EQ(chip_version_text(0x84), "   Chip ver. 1000 0100   ");
    EXPECT_EQ(chip_version_text(0x5A), "   Chip ver. 0101 1010   ");
}

} // namespace
