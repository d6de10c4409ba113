// The direct register access window: the bit boxes, the bit labels, and how
// the address, data and bit boxes follow each other.
#include "bit_names.h"
#include "direct_access.h"
#include "qstring_print.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QString box_text(const direct_access &window, int bit) {
    return window.button_group()->button(bit)->text();
}

// Replaces a field's text the way a user does: select all, type.
void type_into(QLineEdit *edit, const char *keys) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromLatin1(keys));
}

// The boxes from top to bottom stand for bits 7 to 0, and follow the data.
TEST(DirectAccessForm, BoxesFixedSizeAndData) {
    direct_access window;
    auto *inner = window.findChild<QGridLayout *>("gridLayout_2");
    ASSERT_NE(inner, nullptr);
    for (int row = 1; row <= 8; ++row)
        EXPECT_EQ(window.button_group()->id(
                      qobject_cast<QCheckBox *>(inner->itemAtPosition(row, 0)->widget())),
                  8 - row);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    const QSize before = window.size();
    window.resize(before + QSize(80, 80));
    EXPECT_EQ(window.size(), before);

    // Nothing to edit before a read; then typing sets the boxes; a click
    // clears a bit (setting one: the window test).
    EXPECT_FALSE(window.data_edit()->isEnabled());
    EXPECT_FALSE(window.button_group()->button(0)->isEnabled());
    window.set_data(0);
    type_into(window.data_edit(), "xa5f");
    EXPECT_EQ(window.data(), 0xA5);
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_EQ(window.button_group()->button(bit)->isChecked(), ((0xA5 >> bit) & 1) != 0) << bit;
    QTest::mouseClick(window.button_group()->button(7), Qt::LeftButton);
    EXPECT_EQ(window.data_edit()->text(), "25");
    EXPECT_EQ(window.data(), 0x25);
}

TEST(DirectAccessLabels, FollowTheAddress) {
    direct_access window; // first opened at register 0
    EXPECT_EQ(window.address(), 0);
    EXPECT_EQ(window.data(), 0);
    EXPECT_EQ(box_text(window, 7), "bit 7    EN_DIS_B0");
    EXPECT_EQ(box_text(window, 0), "bit 0    VSET_B0[0]");
    window.address_edit()->setText("2E");
    EXPECT_EQ(window.address(), 0x2E);
    EXPECT_EQ(box_text(window, 3), "bit 3    MASK_ILOAD_READY");
    EXPECT_EQ(box_text(window, 4), "bit 4    ");

    // No row of the window's own for 0x13: the register table's field. The
    // field takes two hex digits only.
    type_into(window.address_edit(), "g1z3x4");
    EXPECT_EQ(window.address(), 0x13);
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_EQ(box_text(window, bit), QString("bit %1    DELAY_B1[%1]").arg(bit));

    // An emptied field reads as address 0.
    window.address_edit()->clear();
    EXPECT_EQ(window.address(), 0);
    EXPECT_EQ(box_text(window, 7), "bit 7    EN_DIS_B0");
}

TEST(DirectAccessBitNames, EdgesOfTheTable) {
    const struct { uint8_t address; int bit; const char *name; } rows[] = {
        {0x06, 1, ""}, {0x21, 6, "BUCK_LOAD_CURR[10]"}, {0x21, 3, ""}, {0x2F, 0, ""},
        {0xFF, 7, ""}, {0x00, 8, ""},                   {0x00, -1, ""}};
    for (const auto &r : rows)
        EXPECT_STREQ(evalpanel::direct_access_bit_name(r.address, r.bit), r.name)
            << std::hex << int(r.address) << " bit " << std::dec << r.bit;
    // Blanks filled from the register table, a spanning field's bits
    // numbered within the field; an address without a register says so.
    const struct { uint8_t address; int bit; const char *label; } filled[] = {
        {0x06, 1, "FPWM_B1"}, {0x07, 3, "RAMP_B0[3]"}, {0x22, 2, "BUCK_LOAD_CURR[2]"},
        {0x21, 6, "BUCK_LOAD_CURR[10]"}, {0x13, 7, "DELAY_B1[7]"}};
    for (const auto &r : filled)
        EXPECT_EQ(evalpanel::bit_label(r.address, r.bit), r.label) << std::hex << int(r.address);
    EXPECT_EQ(evalpanel::register_summary(0x00), "R_VSET_B0, read/write");
    EXPECT_EQ(evalpanel::register_summary(0xFE), "not in the register table");
}

} // namespace
