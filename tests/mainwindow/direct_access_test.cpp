// The direct register access window: its form, the bit labels, and how the
// address, data and bit boxes follow each other.
#include "bit_names.h"
#include "direct_access.h"
#include "qstring_print.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {

QString box_text(const direct_access &window, int bit) {
    return window.button_group()->button(bit)->text();
}

bool box_checked(const direct_access &window, int bit) {
    return window.button_group()->button(bit)->isChecked();
}

// Replaces a field's text the way a user does: select all, type.
void type_into(QLineEdit *edit, const char *keys) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromLatin1(keys));
}

TEST(DirectAccessForm, NamesKindsAndPlaces) {
    direct_access window;
    EXPECT_EQ(window.objectName(), "direct_access");
    EXPECT_EQ(window.windowTitle(), "Direct Register Access");

    auto *top = window.findChild<QGridLayout *>("gridLayout_3");
    auto *inner = window.findChild<QGridLayout *>("gridLayout_2");
    auto *entry = window.findChild<QGridLayout *>("gridLayout");
    ASSERT_TRUE(top && inner && entry);
    EXPECT_EQ(window.layout(), top);
    EXPECT_EQ(top->contentsMargins(), QMargins(3, 3, 3, 3));
    EXPECT_EQ(top->itemAtPosition(0, 0)->layout(), inner);
    EXPECT_EQ(inner->itemAtPosition(0, 0)->layout(), entry);

    struct Place {
        const char *name;
        int row, column;
        const char *text;
    };
    const Place entries[] = {{"label", 0, 0, "Address"},    {"label_2", 0, 1, "Data"},
                             {"lineEdit", 1, 0, "00"},      {"lineEdit_2", 1, 1, "00"},
                             {"pushButton", 1, 2, "Write"}, {"pushButton_2", 1, 3, "Read"}};
    for (const Place &p : entries) {
        SCOPED_TRACE(p.name);
        QWidget *w = entry->itemAtPosition(p.row, p.column)->widget();
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->objectName(), p.name);
        if (auto *l = qobject_cast<QLabel *>(w))
            EXPECT_EQ(l->text(), p.text);
        else if (auto *e = qobject_cast<QLineEdit *>(w))
            EXPECT_EQ(e->text(), p.text);
        else if (auto *b = qobject_cast<QPushButton *>(w))
            EXPECT_EQ(b->text(), p.text);
        else
            ADD_FAILURE() << "unexpected kind";
        if (p.row == 1) {
            EXPECT_EQ(w->maximumWidth(), 50);
        }
    }
    EXPECT_EQ(window.findChild<QLabel *>("label")->maximumHeight(), 13);

    const char *boxes[8] = {"checkBox",   "checkBox_2", "checkBox_3", "checkBox_4",
                            "checkBox_5", "checkBox_6", "checkBox_7", "checkBox_8"};
    for (int row = 1; row <= 8; ++row) {
        SCOPED_TRACE(row);
        auto *box = qobject_cast<QCheckBox *>(inner->itemAtPosition(row, 0)->widget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->objectName(), boxes[row - 1]);
        const int bit = 8 - row;
        EXPECT_EQ(window.button_group()->id(box), bit);
        // Bits 7, 5, 3, 1 fill their background: the rows are striped.
        EXPECT_EQ(box->autoFillBackground(), bit % 2 == 1);
        if (bit % 2 == 1) {
            // The fill uses the box's own background role: it must differ
            // from the window's background to be seen.
            EXPECT_NE(box->palette().color(box->backgroundRole()),
                      window.palette().color(QPalette::Window));
        }
    }
    EXPECT_EQ(window.button_group()->objectName(), "buttonGroup");
    EXPECT_FALSE(window.button_group()->exclusive());
    EXPECT_EQ(window.button_group()->buttons().size(), 8);
}

TEST(DirectAccessForm, MaskFixedSizeAndTitleBar) {
    direct_access window;
    EXPECT_EQ(window.address_edit()->inputMask(), "HH");
    EXPECT_EQ(window.data_edit()->inputMask(), "HH");
    EXPECT_FALSE(window.windowFlags() & Qt::WindowContextHelpButtonHint);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    const QSize before = window.size();
    window.resize(before + QSize(80, 80));
    EXPECT_EQ(window.size(), before);
}

TEST(DirectAccessForm, MaskTakesTwoHexDigitsOnly) {
    direct_access window;
    type_into(window.address_edit(), "g1z2x3");
    EXPECT_EQ(window.address_edit()->text(), "12");
    EXPECT_EQ(window.address(), 0x12);
}

TEST(DirectAccessLabels, FirstOpeningShowsRegisterZero) {
    direct_access window;
    EXPECT_EQ(window.address(), 0);
    EXPECT_EQ(window.data(), 0);
    EXPECT_EQ(box_text(window, 7), "bit 7    EN_DIS_B0");
    for (int bit = 6; bit >= 0; --bit) {
        EXPECT_EQ(box_text(window, bit), QString("bit %1    VSET_B0[%1]").arg(bit));
        EXPECT_FALSE(box_checked(window, bit));
    }
}

TEST(DirectAccessLabels, FollowTheAddress) {
    direct_access window;
    window.address_edit()->setText("2E");
    EXPECT_EQ(window.address(), 0x2E);
    const char *expected[8] = {"bit 0    MASK_TEMP", "bit 1    MASK_TWARNING",
                               "bit 2    MASK_UVLO", "bit 3    MASK_ILOAD_READY",
                               "bit 4    ",          "bit 5    ",
                               "bit 6    ",          "bit 7    "};
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_EQ(box_text(window, bit), expected[bit]) << bit;

    // No row for 0x13: the numbers alone, four blanks kept.
    type_into(window.address_edit(), "13");
    EXPECT_EQ(window.address(), 0x13);
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_EQ(box_text(window, bit), QString("bit %1    ").arg(bit));

    // An emptied field reads as address 0.
    window.address_edit()->clear();
    EXPECT_EQ(window.address(), 0);
    EXPECT_EQ(box_text(window, 7), "bit 7    EN_DIS_B0");
}

TEST(DirectAccessData, TypingSetsTheBoxes) {
    direct_access window;
    type_into(window.data_edit(), "a5");
    EXPECT_EQ(window.data(), 0xA5);
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_EQ(box_checked(window, bit), ((0xA5 >> bit) & 1) != 0) << bit;
}

TEST(DirectAccessData, ClickingABoxRewritesTheData) {
    direct_access window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.data_edit()->setText("80");
    QTest::mouseClick(window.button_group()->button(0), Qt::LeftButton);
    EXPECT_EQ(window.data_edit()->text(), "81");
    EXPECT_EQ(window.data(), 0x81);
    QTest::mouseClick(window.button_group()->button(7), Qt::LeftButton);
    EXPECT_EQ(window.data_edit()->text(), "01");
    EXPECT_FALSE(box_checked(window, 7));
    EXPECT_TRUE(box_checked(window, 0));
}

TEST(DirectAccessData, SetDataShowsTwoLowerCaseDigits) {
    direct_access window;
    window.set_data(0xFF);
    EXPECT_EQ(window.data_edit()->text(), "ff");
    for (int bit = 0; bit < 8; ++bit)
        EXPECT_TRUE(box_checked(window, bit));
    window.set_data(0x0B);
    EXPECT_EQ(window.data_edit()->text(), "0b");
    EXPECT_EQ(window.data(), 0x0B);
    EXPECT_TRUE(box_checked(window, 3));
    EXPECT_FALSE(box_checked(window, 2));
}

TEST(DirectAccessButtons, AskTheMainWindow) {
    direct_access window;
    QSignalSpy reads(&window, &direct_access::read_requested);
    QSignalSpy writes(&window, &direct_access::write_requested);
    window.findChild<QPushButton *>("pushButton_2")->click();
    window.findChild<QPushButton *>("pushButton")->click();
    window.findChild<QPushButton *>("pushButton")->click();
    EXPECT_EQ(reads.count(), 1);
    EXPECT_EQ(writes.count(), 2);
}

TEST(DirectAccessLifecycle, ClosingHidesAndKeepsTheValues) {
    QWidget owner;
    QPointer<direct_access> window = new direct_access(&owner);
    window->show();
    window->address_edit()->setText("0e");
    window->set_data(0x24);
    window->close();
    ASSERT_FALSE(window.isNull());
    EXPECT_FALSE(window->isVisible());
    window->show();
    EXPECT_EQ(window->address(), 0x0E);
    EXPECT_EQ(window->data(), 0x24);
    EXPECT_EQ(box_text(*window, 5), "bit 5    I_LOAD_READY");
}

TEST(DirectAccessBitNames, SampleOfTheTable) {
    struct Row {
        uint8_t address;
        int bit;
        const char *name;
    };
    const Row rows[] = {
        {0x00, 7, "EN_DIS_B0"},
        {0x06, 0, "FPWM_B0"},
        {0x06, 1, ""},
        {0x07, 3, ""},
        {0x07, 4, "RDIS_B0"},
        {0x0C, 6, "OC_LEV_B5[0]"},
        {0x0D, 2, "nPG_B0"},
        {0x0F, 2, "MASK_nPG_B0"},
        {0x10, 5, "EN_SS"},
        {0x11, 0, "SW_RESET"},
        {0x12, 4, "DELAY_B0[4]"},
        {0x18, 7, "DEVICE"},
        {0x18, 0, "DIE_REV[0]"},
        {0x19, 6, "PFM_ENTRY_B0[2]"},
        {0x1F, 0, "SHED_PH_B0[0]"},
        {0x21, 6, "BUCK_LOAD_CURR[10]"},
        {0x21, 3, ""},
        {0x22, 0, "BUCK_LOAD_CURR[0]"},
        {0x2E, 3, "MASK_ILOAD_READY"},
        {0x2F, 0, ""},
        {0xFF, 7, ""},
        {0x00, 8, ""},
        {0x00, -1, ""},
    };
    for (const Row &r : rows)
        EXPECT_STREQ(evalpanel::direct_access_bit_name(r.address, r.bit), r.name)
            << std::hex << int(r.address) << " bit " << std::dec << r.bit;

    // Exactly the twenty listed addresses carry names.
    int named = 0;
    for (int a = 0; a < 256; ++a) {
        bool any = false;
        for (int bit = 0; bit < 8; ++bit)
            any |= *evalpanel::direct_access_bit_name(static_cast<uint8_t>(a), bit) != '\0';
        named += any;
    }
    EXPECT_EQ(named, 20);
}

} // namespace

namespace {

QStringList g_messages;
void record_message(QtMsgType, const QMessageLogContext &, const QString &text) {
    g_messages << text;
}

// Setting up the window complains about no slot: every one is connected.
TEST(DirectAccessForm, SetupIsQuiet) {
    g_messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(record_message);
    { direct_access window; }
    qInstallMessageHandler(previous);
    EXPECT_EQ(g_messages, QStringList());
}

} // namespace
