// The main window's form on its own: object names and what they bind, kinds,
// texts, item lists, grid places, sizes, tabs, menus and the form's own
// connections.
#include "binding.h"
#include "form.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

class FormTest : public testing::Test {
  protected:
    FormTest() { ui.setupUi(&window); }

    template <typename T> T *find(const char *name) {
        T *w = window.findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    QMainWindow window;
    Ui::MainWindow ui;
};

QtMessageHandler previous_handler;
QStringList captured_warnings;

void capture_warnings(QtMsgType type, const QMessageLogContext &context, const QString &msg) {
    if (type != QtDebugMsg && type != QtInfoMsg)
        captured_warnings << msg;
    previous_handler(type, context, msg);
}

TEST(FormSetup, BuildsWithoutWarnings) {
    captured_warnings.clear();
    previous_handler = qInstallMessageHandler(capture_warnings);
    {
        QMainWindow window;
        Ui::MainWindow ui;
        ui.setupUi(&window);
        ui.retranslateUi(&window);
    }
    qInstallMessageHandler(previous_handler);
    EXPECT_TRUE(captured_warnings.isEmpty()) << captured_warnings.join('\n').toStdString();
}

// What each bound control of the form stands for.
struct Bound {
    const char *kind_class; // widget class
    BindingKind kind;
    int reg, high, low; // register bindings
    int group, pin;     // pin bindings
    int offset;         // selectors
};

constexpr int n = 0;
const std::map<QString, Bound> &expected_bindings() {
    using K = BindingKind;
    static const std::map<QString, Bound> table = {
        // "Main Control"
        {"io0022", {"QCheckBox", K::Pin, n, n, n, 0, 22, n}},
        {"io0023", {"QCheckBox", K::Pin, n, n, n, 0, 23, n}},
        {"cb110", {"QCheckBox", K::RegisterBit, 0x11, 0, 0, n, n, n}},
        {"io0024", {"QCheckBox", K::Pin, n, n, n, 0, 24, n}},
        // "Bucks"
        {"cb007", {"QCheckBox", K::RegisterBit, 0x00, 7, 7, n, n, n}},
        {"adc010010250100", {"QLineEdit", K::Measurement, n, n, n, n, n, n}},
        {"le0d2", {"QLineEdit", K::BitIndicator, 0x0D, 2, 2, n, n, n}},
        {"cb0f2", {"QCheckBox", K::RegisterBit, 0x0F, 2, 2, n, n, n}},
        {"cb0d2", {"QPushButton", K::RegisterBit, 0x0D, 2, 2, n, n, n}},
        // "System Flags / Interrupts"
        {"lio0018", {"QLineEdit", K::PinIndicator, n, n, n, 0, 18, n}},
        {"le0e3", {"QLineEdit", K::BitIndicator, 0x0E, 3, 3, n, n, n}},
        {"le0e2", {"QLineEdit", K::BitIndicator, 0x0E, 2, 2, n, n, n}},
        {"le0e4", {"QLineEdit", K::BitIndicator, 0x0E, 4, 4, n, n, n}},
        {"le0e1", {"QLineEdit", K::BitIndicator, 0x0E, 1, 1, n, n, n}},
        {"le0e0", {"QLineEdit", K::BitIndicator, 0x0E, 0, 0, n, n, n}},
        {"le0e5", {"QLineEdit", K::BitIndicator, 0x0E, 5, 5, n, n, n}},
        {"cb2e1", {"QCheckBox", K::RegisterBit, 0x2E, 1, 1, n, n, n}},
        {"cb2e2", {"QCheckBox", K::RegisterBit, 0x2E, 2, 2, n, n, n}},
        {"cb0f1", {"QCheckBox", K::RegisterBit, 0x0F, 1, 1, n, n, n}},
        {"cb0f0", {"QCheckBox", K::RegisterBit, 0x0F, 0, 0, n, n, n}},
        {"cb2e3", {"QCheckBox", K::RegisterBit, 0x2E, 3, 3, n, n, n}},
        {"cb2e0", {"QCheckBox", K::RegisterBit, 0x2E, 0, 0, n, n, n}},
        {"cb0e3", {"QPushButton", K::RegisterBit, 0x0E, 3, 3, n, n, n}},
        {"cb0e2", {"QPushButton", K::RegisterBit, 0x0E, 2, 2, n, n, n}},
        {"cb0e4", {"QPushButton", K::RegisterBit, 0x0E, 4, 4, n, n, n}},
        {"cb0e1", {"QPushButton", K::RegisterBit, 0x0E, 1, 1, n, n, n}},
        {"cb0e0", {"QPushButton", K::RegisterBit, 0x0E, 0, 0, n, n, n}},
        {"cb0e5", {"QPushButton", K::RegisterBit, 0x0E, 5, 5, n, n, n}},
        // "Buck0" to "Buck5"
        {"cb060", {"QCheckBox", K::RegisterBit, 0x06, 0, 0, n, n, n}},
        {"cb075", {"QCheckBox", K::RegisterBit, 0x07, 5, 5, n, n, n}},
        {"cb074", {"QCheckBox", K::RegisterBit, 0x07, 4, 4, n, n, n}},
        {"co0060", {"QComboBox", K::Selector, 0x00, 6, 0, n, n, 10}},
        {"co1974", {"QComboBox", K::Selector, 0x19, 7, 4, n, n, 0}},
        {"co1f74", {"QComboBox", K::Selector, 0x1F, 7, 4, n, n, 0}},
        {"co0776", {"QComboBox", K::Selector, 0x07, 7, 6, n, n, 0}},
        {"co1930", {"QComboBox", K::Selector, 0x19, 3, 0, n, n, 3}},
        {"co1f30", {"QComboBox", K::Selector, 0x1F, 3, 0, n, n, 0}},
        {"co1270", {"QComboBox", K::Selector, 0x12, 7, 0, n, n, 0}},
        {"co0730", {"QComboBox", K::Selector, 0x07, 3, 0, n, n, 0}},
        {"co0876", {"QComboBox", K::Selector, 0x08, 7, 6, n, n, 0}},
        {"co0976", {"QComboBox", K::Selector, 0x09, 7, 6, n, n, 0}},
        {"co0a76", {"QComboBox", K::Selector, 0x0A, 7, 6, n, n, 0}},
        {"co0b76", {"QComboBox", K::Selector, 0x0B, 7, 6, n, n, 0}},
        {"co0c76", {"QComboBox", K::Selector, 0x0C, 7, 6, n, n, 0}},
        // "Advanced"
        {"co1055", {"QComboBox", K::Selector, 0x10, 5, 5, n, n, 0}},
        {"co1033", {"QComboBox", K::Selector, 0x10, 3, 3, n, n, 0}},
        {"co1011", {"QComboBox", K::Selector, 0x10, 1, 1, n, n, 0}},
        {"co1000", {"QComboBox", K::Selector, 0x10, 0, 0, n, n, 0}},
    };
    return table;
}

template <typename T> QStringList names_matching(QObject &root, const char *pattern) {
    QStringList names;
    for (T *w : root.findChildren<T *>(QRegularExpression(QString::fromLatin1(pattern))))
        names << w->objectName();
    return names;
}

TEST_F(FormTest, BoundControlsAreExactlyTheListedOnes) {
    QStringList found = names_matching<QAbstractButton>(window, kBoundButtonPattern);
    found += names_matching<QComboBox>(window, kBoundComboPattern);
    found += names_matching<QLineEdit>(window, kBoundEditPattern);

    std::set<QString> got(found.begin(), found.end());
    EXPECT_EQ(static_cast<qsizetype>(got.size()), found.size()) << "a name occurs twice";
    std::set<QString> want;
    for (const auto &[name, bound] : expected_bindings())
        want.insert(name);
    for (const QString &name : want)
        EXPECT_TRUE(got.count(name)) << "missing " << name.toStdString();
    for (const QString &name : got)
        EXPECT_TRUE(want.count(name)) << "unexpected " << name.toStdString();
}

TEST_F(FormTest, BoundControlsDecodeToTheirBindings) {
    for (const auto &[name, want] : expected_bindings()) {
        SCOPED_TRACE(name.toStdString());
        QWidget *w = window.findChild<QWidget *>(name);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), want.kind_class);
        const ControlBinding got = decode_binding(name);
        ASSERT_EQ(got.kind, want.kind);
        if (got.is_register()) {
            EXPECT_EQ(got.field, (BitRange{want.reg, want.high, want.low}));
            EXPECT_FALSE(got.two_segments);
            EXPECT_EQ(got.item_offset, want.offset);
            EXPECT_FALSE(got.one_hot);
        }
        if (got.kind == BindingKind::Pin || got.kind == BindingKind::PinIndicator) {
            EXPECT_EQ(got.pin_group, want.group);
            EXPECT_EQ(got.pin, want.pin);
            EXPECT_FALSE(got.inverted);
        }
    }
    const ControlBinding adc = decode_binding(u"adc010010250100");
    EXPECT_EQ(adc.unit, 1);
    EXPECT_EQ(adc.channel, 0);
    EXPECT_EQ(adc.shift, 10);
    EXPECT_EQ(adc.factor_a, 250);
    EXPECT_EQ(adc.factor_b, 100);
}

TEST_F(FormTest, StatusFieldsExistUnderTheirNames) {
    QStringList names;
    for (int i = 0; i < 6; ++i)
        names << QStringLiteral("mode%1").arg(i) << QStringLiteral("multiphase%1").arg(i);
    for (int i = 0; i <= 6; ++i)
        names << QStringLiteral("current%1").arg(i);
    names << "chip_temp"
          << "board_temp";
    for (const QString &name : names) {
        auto *edit = window.findChild<QLineEdit *>(name);
        ASSERT_NE(edit, nullptr) << name.toStdString();
        EXPECT_TRUE(edit->isReadOnly());
    }
    EXPECT_EQ(names_matching<QLineEdit>(window, kMultiphasePattern).size(), 6);
    EXPECT_EQ(names_matching<QLineEdit>(window, kMeasurementPattern),
              QStringList{"adc010010250100"});
    EXPECT_NE(find<QCheckBox>("autowrite"), nullptr);
    EXPECT_NE(find<QCheckBox>("pollstatus"), nullptr);
    EXPECT_NE(find<QTextBrowser>("registerlog"), nullptr);
    EXPECT_TRUE(find<QPlainTextEdit>("plainTextEdit")->isReadOnly());
}

TEST_F(FormTest, EveryLineEditIsReadOnlyAndIndicatorsAreNarrowAndCentred) {
    for (QLineEdit *edit : window.findChildren<QLineEdit *>()) {
        if (edit->parent() && qobject_cast<QComboBox *>(edit->parent()))
            continue;
        EXPECT_TRUE(edit->isReadOnly()) << edit->objectName().toStdString();
        const QString name = edit->objectName();
        if (name.startsWith("le") || name.startsWith("lio")) {
            EXPECT_TRUE(edit->maximumWidth() == 20 || edit->maximumWidth() == 21)
                << name.toStdString();
            EXPECT_EQ(edit->minimumWidth(), edit->maximumWidth()) << name.toStdString();
            EXPECT_EQ(edit->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        }
    }
}

TEST_F(FormTest, ItemLists) {
    const QStringList amps{"0.3 A", "0.4 A", "0.5 A", "0.6 A", "0.7 A", "0.8 A", "0.9 A", "1.0 A"};
    const QStringList limits{"1.5 A", "2.0 A", "2.5 A"};
    const std::map<QString, QStringList> lists = {
        {"comboBox_3", {"System", "Ventra"}},
        {"comboBox_8", {"60h", "61h", "62h", "63h"}},
        {"proto", {"Fast (400kHz)", "Fast ++ (3.4 MHz)", "High-Speed (3.4 MHz)"}},
        {"co0060", {}},
        {"co1270", {}},
        {"co1974", {"100 mA", "125 mA", "150 mA", "175 mA", "225 mA"}},
        {"co1930", {"175 mA", "225 mA", "275 mA", "325 mA", "375 mA"}},
        {"co1f74", amps},
        {"co1f30", amps},
        {"co0730",
         {"30 mV/us", "15 mV/us", "7.5 mV/us", "3.8 mV/us", "1.9 mV/us", "0.94 mV/us", "0.47 mV/us",
          "0.23 mV/us"}},
        {"co0776", limits},
        {"co0876", limits},
        {"co0976", limits},
        {"co0a76", limits},
        {"co0b76", limits},
        {"co0c76", limits},
        {"co1055", {"Disabled", "Enabled"}},
        {"co1033", {"Enabled", "Disabled"}},
        {"co1011", {"Low", "High (SLP)"}},
        {"co1000", {"Disabled", "Enabled"}},
    };
    auto items_of = [](QComboBox *combo) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        return items;
    };
    for (const auto &[name, items] : lists) {
        auto *combo = window.findChild<QComboBox *>(name);
        ASSERT_NE(combo, nullptr) << name.toStdString();
        EXPECT_EQ(items_of(combo), items) << name.toStdString();
    }
    EXPECT_EQ(window.findChildren<QComboBox *>().size(), static_cast<qsizetype>(lists.size()));

    // The text step can run again (a language change) without doubling lists.
    ui.retranslateUi(&window);
    for (const auto &[name, items] : lists)
        EXPECT_EQ(items_of(window.findChild<QComboBox *>(name)), items) << name.toStdString();
}

TEST_F(FormTest, Texts) {
    EXPECT_EQ(window.windowTitle(), "RX5120 Evaluation Software");
    EXPECT_EQ(window.size(), QSize(1122, 709));
    const std::map<QString, QString> texts = {
        {"autowrite", "Auto Write"},
        {"pollstatus", "Poll Status"},
        {"label_59", "Interface :"},
        {"label_65", "I2C Address"},
        {"label_71", "Bus Speed"},
        {"readregisters", "Read Registers"},
        {"writeregisters", "Write Registers"},
        {"io0022", "Assert VIOSYS"},
        {"io0023", "Assert NRST"},
        {"cb110", "Assert SW Reset"},
        {"io0024", "Assert NSLP"},
        {"cb007", "Buck0"},
        {"cb0d2", "Clear"},
        {"cb0e5", "Clear"},
        {"cb0f2", ""},
        {"cb0f1", ""},
        {"cb0f0", ""},
        {"cb2e0", ""},
        {"cb2e1", ""},
        {"cb2e2", ""},
        {"cb2e3", ""},
        {"label_4", "Enable"},
        {"label_13", "Mode"},
        {"label_17", "Multiphase status"},
        {"label_19", "Voltage"},
        {"label_24", "Current"},
        {"label_26", "nPG"},
        {"label_38", "Masked?"},
        {"label_12", "Buck1"},
        {"label_18", "Buck5"},
        {"label_47", "Total Current 1"},
        {"label_45", "Interrupt active "},
        {"label_40", "Flags"},
        {"label_67", "Masked?"},
        {"label_70", "TWARN"},
        {"label_69", "THSD"},
        {"label_56", "UVLO"},
        {"label_57", "OVP"},
        {"label_66", "SCP"},
        {"label_73", "I_LOAD_READY"},
        {"label_72", "Board Temperature :"},
        {"label_55", "Chip temperature :"},
        {"label_74", "Masked?"},
        {"cb060", "Force PWM"},
        {"cb075", "Enable low power PFM mode"},
        {"cb074", "Enable pulldown resistor"},
        {"label_5", "Output voltage"},
        {"label_8", "PFM entry level"},
        {"label_10", "Phase adding level"},
        {"label_6", "Current limit"},
        {"label_9", "PFM exit level"},
        {"label_11", "Phase shedding level"},
        {"label_7", "Delay"},
        {"label_48", "Voltage ramp"},
        {"label_23", "Current limit"},
        {"label_29", "Current limit"},
        {"label_58", "Spread Spectrum"},
        {"label_60", "Differential sensing Buck0"},
        {"label_63", "NSLP Pin Polarity"},
        {"label_64", "ECO Mode Global Control"},
        {"script1", "Power Saver"},
        {"script2", "Balanced"},
        {"script3", "High Performance"},
        {"script4", "User"},
        {"pushButton", "Clear Log"},
    };
    for (const auto &[name, text] : texts) {
        QWidget *w = window.findChild<QWidget *>(name);
        ASSERT_NE(w, nullptr) << name.toStdString();
        if (auto *label = qobject_cast<QLabel *>(w))
            EXPECT_EQ(label->text(), text) << name.toStdString();
        else if (auto *button = qobject_cast<QAbstractButton *>(w))
            EXPECT_EQ(button->text(), text) << name.toStdString();
        else
            ADD_FAILURE() << name.toStdString() << " has no text";
    }
    const std::map<QString, QString> groups = {
        {"groupBox_10", "Main Control"},
        {"groupBox_7", "Bucks"},
        {"groupBox_9", "System Flags / Interrupts"},
        {"groupBox", "Buck0"},
        {"groupBox_2", "Buck1"},
        {"groupBox_3", "Buck2"},
        {"groupBox_4", "Buck3"},
        {"groupBox_5", "Buck4"},
        {"groupBox_6", "Buck5"},
        {"groupBox_8", "Command Log"},
    };
    for (const auto &[name, title] : groups)
        EXPECT_EQ(find<QGroupBox>(name.toLatin1().constData())->title(), title);
    EXPECT_EQ(window.findChildren<QGroupBox *>().size(), static_cast<qsizetype>(groups.size()));
    EXPECT_TRUE(find<QCheckBox>("io0022")->toolTip().isEmpty());
    EXPECT_TRUE(find<QPushButton>("cb0e3")->isCheckable() == false);
}

// The layout that holds w directly, searched from its parent widget's layout.
QLayout *holding_layout(QLayout *layout, QObject *w) {
    if (!layout)
        return nullptr;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget() == w)
            return layout;
        if (QLayout *found = holding_layout(item->layout(), w))
            return found;
    }
    return nullptr;
}

struct Place {
    int row, column, row_span, column_span;
    bool operator==(const Place &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Place &p) {
    return os << p.row << "," << p.column << " span " << p.row_span << "x" << p.column_span;
}

Place grid_place(QGridLayout *grid, int index) {
    Place p{};
    grid->getItemPosition(index, &p.row, &p.column, &p.row_span, &p.column_span);
    return p;
}

TEST_F(FormTest, GridPlaces) {
    const std::map<QString, Place> places = {
        {"tabWidget", {0, 0, 1, 1}},       {"plainTextEdit", {0, 1, 1, 1}},
        {"autowrite", {0, 0, 1, 1}},       {"pollstatus", {0, 1, 1, 1}},
        {"line_11", {0, 2, 1, 1}},         {"label_59", {0, 3, 1, 1}},
        {"comboBox_3", {0, 4, 1, 1}},      {"label_65", {0, 5, 1, 1}},
        {"comboBox_8", {0, 6, 1, 1}},      {"label_71", {0, 7, 1, 1}},
        {"proto", {0, 8, 1, 1}},           {"readregisters", {0, 10, 1, 1}},
        {"writeregisters", {0, 11, 1, 1}}, {"groupBox_10", {0, 0, 1, 1}},
        {"groupBox_7", {1, 0, 1, 1}},      {"groupBox_9", {2, 0, 1, 1}},
        {"io0022", {0, 0, 1, 1}},          {"io0023", {1, 0, 1, 1}},
        {"cb110", {2, 0, 1, 1}},           {"io0024", {3, 0, 1, 1}},
        {"label_4", {0, 0, 1, 1}},         {"label_38", {0, 6, 1, 1}},
        {"cb007", {1, 0, 1, 1}},           {"mode0", {1, 1, 1, 1}},
        {"multiphase0", {1, 2, 1, 1}},     {"adc010010250100", {1, 3, 1, 1}},
        {"current0", {1, 4, 1, 1}},        {"le0d2", {1, 5, 1, 1}},
        {"cb0f2", {1, 6, 1, 1}},           {"cb0d2", {1, 7, 1, 1}},
        {"label_12", {2, 0, 1, 1}},        {"mode5", {6, 1, 1, 1}},
        {"multiphase5", {6, 2, 1, 1}},     {"current5", {6, 4, 1, 1}},
        {"label_47", {7, 0, 1, 1}},        {"current6", {7, 1, 1, 1}},
        {"label_40", {0, 0, 1, 1}},        {"label_67", {0, 2, 1, 1}},
        {"label_70", {1, 0, 1, 1}},        {"le0e3", {1, 1, 1, 1}},
        {"cb2e1", {1, 2, 1, 1}},           {"cb0e3", {1, 3, 1, 1}},
        {"label_69", {2, 0, 1, 1}},        {"cb0e2", {2, 3, 1, 1}},
        {"cb0f1", {4, 2, 1, 1}},           {"label_73", {6, 0, 1, 1}},
        {"cb0e5", {6, 3, 1, 1}},           {"groupBox", {0, 0, 1, 1}},
        {"groupBox_6", {5, 0, 1, 1}},      {"line_3", {0, 1, 1, 1}},
        {"label_5", {0, 0, 1, 1}},         {"co0060", {0, 1, 1, 1}},
        {"co1974", {0, 3, 1, 1}},          {"co1f74", {0, 5, 1, 1}},
        {"co0776", {1, 1, 1, 1}},          {"co1930", {1, 3, 1, 1}},
        {"co1f30", {1, 5, 1, 1}},          {"label_7", {2, 0, 1, 1}},
        {"co1270", {2, 1, 1, 1}},          {"co0730", {2, 3, 1, 1}},
        {"co1055", {0, 1, 1, 1}},          {"label_64", {3, 0, 1, 1}},
        {"co1000", {3, 1, 1, 1}},          {"groupBox_8", {1, 0, 1, 3}},
        {"registerlog", {1, 0, 1, 1}},
    };
    for (const auto &[name, want] : places) {
        QWidget *w = window.findChild<QWidget *>(name);
        ASSERT_NE(w, nullptr) << name.toStdString();
        auto *grid = qobject_cast<QGridLayout *>(holding_layout(w->parentWidget()->layout(), w));
        ASSERT_NE(grid, nullptr) << name.toStdString();
        EXPECT_EQ(grid_place(grid, grid->indexOf(w)), want) << name.toStdString();
    }
}

TEST_F(FormTest, NestedLayouts) {
    // The flags grid: spacing 2, at row 0 column 2 of its group, four rows high.
    auto *group = find<QGroupBox>("groupBox_9");
    auto *flags =
        qobject_cast<QGridLayout *>(holding_layout(group->layout(), find<QLineEdit>("le0e3")));
    ASSERT_NE(flags, nullptr);
    EXPECT_EQ(flags->spacing(), 2);
    auto *outer = qobject_cast<QGridLayout *>(group->layout());
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(grid_place(outer, outer->indexOf(flags)), (Place{0, 2, 4, 1}));
    // The temperature rows span two columns.
    QLayout *board = holding_layout(outer, find<QLineEdit>("board_temp"));
    QLayout *chip = holding_layout(outer, find<QLineEdit>("chip_temp"));
    EXPECT_EQ(grid_place(outer, outer->indexOf(board)), (Place{2, 0, 1, 2}));
    EXPECT_EQ(grid_place(outer, outer->indexOf(chip)), (Place{3, 0, 1, 2}));
    EXPECT_EQ(chip->indexOf(find<QCheckBox>("cb2e0")), 3);

    // The bottom row sits below the tabs; grids of the central widget and the
    // pages use spacing 6 and margins 11; Config's groups have margins 2.
    auto *central = qobject_cast<QGridLayout *>(ui.centralWidget->layout());
    ASSERT_NE(central, nullptr);
    QLayout *bottom = holding_layout(central, find<QCheckBox>("autowrite"));
    EXPECT_EQ(grid_place(central, central->indexOf(bottom)), (Place{1, 0, 1, 1}));
    EXPECT_EQ(bottom->spacing(), 6);
    for (QLayout *l : {static_cast<QLayout *>(central), ui.tab_4->layout(), ui.tab_3->layout(),
                       ui.tab_5->layout()}) {
        EXPECT_EQ(l->spacing(), 6);
        EXPECT_EQ(l->contentsMargins(), QMargins(11, 11, 11, 11));
    }
    for (QGroupBox *g :
         {ui.groupBox, ui.groupBox_2, ui.groupBox_3, ui.groupBox_4, ui.groupBox_5, ui.groupBox_6})
        EXPECT_EQ(g->layout()->contentsMargins(), QMargins(2, 2, 2, 2)) << g->title().toStdString();
    EXPECT_EQ(ui.groupBox_8->layout()->contentsMargins(), QMargins(11, 11, 11, 11));
    QLayout *checks = holding_layout(ui.groupBox->layout(), ui.cb060);
    EXPECT_EQ(checks->spacing(), 1);
    EXPECT_EQ(checks->indexOf(ui.cb074), 2);
    QLayout *scripts = holding_layout(ui.tab_5->layout(), ui.script1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(scripts->itemAt(i)->widget()->objectName(),
                  QStringLiteral("script%1").arg(i + 1));
    // The THSD row has no mask check box.
    EXPECT_EQ(flags->itemAtPosition(2, 2), nullptr);
}

TEST_F(FormTest, Sizes) {
    struct Size {
        const char *name;
        int min_w, max_w, min_h, max_h; // -1: not fixed by the form
    };
    const Size sizes[] = {
        {"mode0", 70, 70, -1, -1},           {"mode5", 70, 70, -1, -1},
        {"current6", 70, 70, -1, -1},        {"multiphase3", 150, 150, -1, -1},
        {"adc010010250100", 50, 50, -1, -1}, {"current2", 50, 50, -1, -1},
        {"label_26", 38, -1, -1, -1},        {"cb0d2", -1, 40, 20, 20},
        {"cb0e0", -1, 40, 20, 20},           {"label_72", 99, -1, -1, -1},
        {"label_55", 99, -1, -1, -1},        {"board_temp", -1, 70, -1, -1},
        {"label_5", 80, -1, 16, 16},         {"label_9", 80, -1, 16, 16},
        {"label_10", 100, -1, 16, 16},       {"label_11", 100, -1, 16, 16},
        {"label_7", 0, -1, 16, 16},          {"co0060", -1, -1, 16, 16},
        {"co0730", -1, -1, 16, 16},          {"label_27", 80, -1, 16, 16},
        {"co0b76", -1, -1, 16, 16},
    };
    for (const Size &s : sizes) {
        QWidget *w = find<QWidget>(s.name);
        ASSERT_NE(w, nullptr);
        if (s.min_w >= 0) {
            EXPECT_EQ(w->minimumWidth(), s.min_w) << s.name;
        }
        if (s.max_w >= 0) {
            EXPECT_EQ(w->maximumWidth(), s.max_w) << s.name;
        }
        if (s.min_h >= 0) {
            EXPECT_EQ(w->minimumHeight(), s.min_h) << s.name;
        }
        if (s.max_h >= 0) {
            EXPECT_EQ(w->maximumHeight(), s.max_h) << s.name;
        }
    }
}

TEST_F(FormTest, TabsInOrderWithMainSelected) {
    QTabWidget *tabs = ui.tabWidget;
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), "Main");
    EXPECT_EQ(tabs->tabText(1), "Config");
    EXPECT_EQ(tabs->tabText(2), "Advanced");
    EXPECT_EQ(tabs->widget(0)->objectName(), "tab_4");
    EXPECT_EQ(tabs->widget(1)->objectName(), "tab_3");
    EXPECT_EQ(tabs->widget(2)->objectName(), "tab_5");
    EXPECT_EQ(tabs->currentIndex(), 0);
    // Each group sits on its page.
    EXPECT_TRUE(ui.tab_4->isAncestorOf(ui.groupBox_7));
    EXPECT_TRUE(ui.tab_3->isAncestorOf(ui.co0c76));
    EXPECT_TRUE(ui.tab_5->isAncestorOf(ui.registerlog));
}

TEST_F(FormTest, MenusAndActions) {
    const QList<QAction *> bar = window.menuBar()->actions();
    ASSERT_EQ(bar.size(), 4);
    const char *menu_names[] = {"menuFile", "menuView", "menuTools", "menuHelp"};
    const char *titles[] = {"File", "View", "Tools", "Help"};
    const QStringList entries[] = {
        {"", "actionExit"},
        {"actionConsole"},
        {"actionDirect_Register_Access", "actionUpdate_Firmware", "actionOTP"},
        {"actionAbout"},
    };
    for (int i = 0; i < 4; ++i) {
        QMenu *menu = bar[i]->menu();
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(menu->objectName(), menu_names[i]);
        EXPECT_EQ(menu->title(), titles[i]);
        QStringList names;
        for (QAction *a : menu->actions())
            names << (a->isSeparator() ? QString() : a->objectName());
        EXPECT_EQ(names, entries[i]) << titles[i];
    }
    const std::map<QString, QString> actions = {
        {"actionExit", "Exit"},
        {"actionConsole", "Console"},
        {"actionDirect_Register_Access", "Direct Register Access"},
        {"actionUpdate_Firmware", "Update Firmware"},
        {"actionOTP", "OTP"},
        {"actionAbout", "About"},
        {"actionLoad_Registers", "Load Registers"},
        {"actionSave_Registers", "Save Registers"},
        {"actionLoad_LUT", "Load LUT"},
        {"actionSave_LUT", "Save LUT"},
    };
    for (const auto &[name, text] : actions) {
        QAction *a = window.findChild<QAction *>(name);
        ASSERT_NE(a, nullptr) << name.toStdString();
        EXPECT_EQ(a->text(), text);
        EXPECT_EQ(a->isCheckable(), name == "actionConsole") << name.toStdString();
        EXPECT_FALSE(a->isChecked());
    }
    for (const char *name :
         {"actionLoad_Registers", "actionSave_Registers", "actionLoad_LUT", "actionSave_LUT"})
        EXPECT_TRUE(find<QAction>(name)->associatedObjects().isEmpty()) << name;
}

TEST_F(FormTest, FormConnectsExitAndClearLog) {
    ui.registerlog->append("12:00:00 : Application started.");
    ASSERT_FALSE(ui.registerlog->toPlainText().isEmpty());
    ui.pushButton->click();
    EXPECT_TRUE(ui.registerlog->toPlainText().isEmpty());

    window.show();
    ASSERT_TRUE(window.isVisible());
    ui.actionExit->trigger();
    EXPECT_FALSE(window.isVisible());
}

TEST_F(FormTest, StartStates) {
    EXPECT_TRUE(ui.autowrite->isChecked());
    EXPECT_FALSE(ui.pollstatus->isChecked());
    EXPECT_EQ(ui.line_11->frameShape(), QFrame::VLine);
    EXPECT_EQ(ui.line_3->frameShape(), QFrame::VLine);
}

} // namespace
