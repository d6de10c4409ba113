// The register map and telemetry windows on the whole main window: what
// the map shows against the chip (pending changes, read-only fields,
// power-on marks, units, the filter), the power-up view and the current sources.
#include <QComboBox>
#include <QTableWidget>
#include <QTreeWidget>

#include <set>

#include "device/workbench.h"
#include "power_up_window.h"
#include "register_map_window.h"
#include "telemetry_window.h"
#include "window_fixture.h"

namespace {

using C = RegisterMapWindow;

QTreeWidgetItem *row(QTreeWidget *tree, const QString &name) {
    const auto found = tree->findItems(name, Qt::MatchExactly | Qt::MatchRecursive, C::kName);
    return found.isEmpty() ? nullptr : found.first();
}

class MapTest : public WindowTest {
  protected:
    void open_map() {
        open_powered();
        map = window->workbench_windows().register_map;
        map->show();
    }
    QTreeWidgetItem *item(const char *name) {
        QTreeWidgetItem *r = row(map->tree(), QString::fromLatin1(name));
        EXPECT_NE(r, nullptr) << name;
        return r;
    }
    QString text(const char *name, int column) {
        QApplication::processEvents();
        map->refresh();
        return item(name)->text(column);
    }
    RegisterMapWindow *map = nullptr;
};

// An edit in place, as a user types it, with Auto Write on or off.
TEST_F(MapTest, EditsFollowAutoWriteAndRefuseReadOnly) {
    open_map();
    const struct {
        const char *name;
        bool auto_write;
        const char *typed;
        int reg;
        int written;       // the chip's register after the edit; -1 untouched
        const char *value; // the map's value: always the chip's
        const char *marks;
        const char *message; // contained in the map's message
    } rows[] = {
        {"DELAY_B0", true, "0x33", 0x12, 0x33, "0x33", "\u2260 power-on", "written"},
        {"DELAY_B1", false, "0x20", 0x13, -1, "0x0A", "pending 3.2 ms (0x20)", "pending"},
        {"RAMP_B3", false, "5", 0x0A, -1, "0x4", "pending 0.94 mV/µs (0x5)", "0x5 (0.94 mV/"},
        {"BUCK_LOAD_CURR", true, "0x10", 0x22, -1, nullptr, "", "read-only"},
        {"R_DELAY_BUCK2", true, "0x1FF", 0x14, -1, "0x0A", "", "out of bounds"},
        {"DELAY_B3", true, "zz", 0x15, -1, "0x0F", "", "format"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        if (window->auto_write() != r.auto_write)
            ui().autowrite->click();
        const int before = chip_register(0, r.reg);
        item(r.name)->setText(C::kValue, QString::fromLatin1(r.typed));
        EXPECT_EQ(chip_register(0, r.reg), r.written >= 0 ? r.written : before);
        if (r.value != nullptr) {
            EXPECT_EQ(text(r.name, C::kValue), QString::fromLatin1(r.value));
        }
        EXPECT_EQ(text(r.name, C::kMarks), QString::fromUtf8(r.marks));
        EXPECT_TRUE(map->message()->text().contains(QString::fromUtf8(r.message)))
            << map->message()->text().toStdString();
    }
    // Read-only fields cannot be opened for editing at all.
    EXPECT_FALSE(item("BUCK_LOAD_CURR")->flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(item("R_LOAD_CURR")->flags() & Qt::ItemIsEditable);
    EXPECT_TRUE(item("DELAY_B1")->flags() & Qt::ItemIsEditable);

    // A selector change kept for later is pending too, never the chip's.
    ui().autowrite->click();
    ASSERT_FALSE(window->auto_write());
    const int general = chip_register(0, 0x10);
    choose(ui().co1000, 0); // LP_EN "Disabled"
    EXPECT_EQ(chip_register(0, 0x10), general);
    EXPECT_EQ(text("LP_EN", C::kValue), QStringLiteral("0x1"));
    EXPECT_EQ(text("LP_EN", C::kMarks), QStringLiteral("pending Disabled (0x0)"));

    // "Write Registers" sends every kept change, the map's included.
    ui().writeregisters->click();
    EXPECT_EQ(chip_register(0, 0x13), 0x20);
    EXPECT_EQ(chip_register(0, 0x0A) & 0x0F, 5);
    EXPECT_EQ(chip_register(0, 0x10) & 0x01, 0);
    for (const char *name : {"DELAY_B1", "RAMP_B3", "LP_EN"})
        EXPECT_FALSE(text(name, C::kMarks).contains(QStringLiteral("pending"))) << name;
}

TEST_F(MapTest, PowerOnMarksUnitsAccessAndFilter) {
    open_map();
    // Fields without a default in the table are marked against the values
    // read at power-up, flags and counters never.
    set_chip_register(0, 0x03, chip_register(0, 0x03) ^ 0x01); // VSET_B1
    kit("flag THSD on");
    session.read_all();
    EXPECT_EQ(text("VSET_B1", C::kMarks), QStringLiteral("\u2260 power-on"));
    EXPECT_EQ(text("EN_DIS_B1", C::kMarks), QString());
    EXPECT_EQ(text("THSD", C::kMarks), QString());

    // Units for every buck's fields; a value without a meaning says so.
    const struct {
        int reg;
        int value;
        const char *field;
        const char *unit;
        const char *access;
    } units[] = {
        {0x01, 0x20, "VSET_B3", "820 mV", "RW"},  {0x05, 0x8A, "VSET_B4", "600 mV", "RW"},
        {0x16, 0x0F, "DELAY_B4", "1.5 ms", "RW"}, {0x0C, 0x42, "RAMP_B5", "7.5 mV/µs", "RW"},
        {0x0B, 0x80, "OC_LEV_B4", "2.5 A", "RW"}, {0x1D, 0x25, "PFM_EXIT_B4", "275 mA", "RW"},
        {0x18, 0x84, "DIE_REV", "0", "RW test"}, {0x0A, 0xC4, "OC_LEV_B3", "3: not in the table", "RW"},
        {0x05, 0x8A, "EN_DIS_B4", "enabled", "RW"}, {0x1C, 0x3F, "PFM_EXIT_B3", "15: not in the table", "RW"},
        {0x21, 0x02, "LOAD_CURRENT_SOURCE", "Buck2", "RW"},
    };
    for (const auto &u : units)
        set_chip_register(0, u.reg, u.value);
    session.read_all();
    for (const auto &u : units) {
        SCOPED_TRACE(u.field);
        EXPECT_EQ(text(u.field, C::kText), QString::fromUtf8(u.unit));
        EXPECT_EQ(text(u.field, C::kAccess), QString::fromLatin1(u.access));
    }
    EXPECT_EQ(text("BUCK_LOAD_CURR", C::kAccess), QStringLiteral("RO"));
    // The measurement setting changed, yet carries no mark.
    EXPECT_EQ(text("LOAD_CURRENT_SOURCE", C::kMarks), QString());
    // Fields from the most significant bit down; the tooltip tells what a
    // field does and its power-on value.
    EXPECT_EQ(item("R_FLAGS_0")->child(0)->text(C::kName), QStringLiteral("NPG_B5"));
    EXPECT_EQ(item("R_INT_MASKS_0")->child(7)->text(C::kName), QStringLiteral("MASK_SCP"));
    const QString tip = item("OC_LEV_B3")->toolTip(C::kValue);
    EXPECT_TRUE(tip.contains(QStringLiteral("Current limit of Buck3.")) &&
                tip.contains(QStringLiteral("Power-on value: 0x3 (3: not in the table)")))
        << tip.toStdString();
    // The Config tab's selectors name a value they have no item for.
    EXPECT_EQ(ui().co0a76->placeholderText(), QStringLiteral("3: not in the table"));
    EXPECT_EQ(ui().co0a76->currentIndex(), -1);

    const struct {
        const char *filter;
        const char *shown;
        const char *hidden;
    } filters[] = {
        {"ramp_b3", "RAMP_B3", "LP_B3"},
        {"0x12", "DELAY_B0", "DELAY_B1"},
        {"1F", "ADD_PH_B0", "ADD_PH_B3"},
        {"0x1", "R_GENERAL", "R_VSET_B0"},
    };
    for (const auto &f : filters) {
        SCOPED_TRACE(f.filter);
        map->filter()->setText(QString::fromLatin1(f.filter));
        EXPECT_FALSE(item(f.shown)->isHidden());
        EXPECT_TRUE(item(f.hidden)->isHidden() || item(f.hidden)->parent()->isHidden());
    }

    // Unpowered, nothing is shown as read.
    ui().io0022->click();
    EXPECT_EQ(text("RAMP_B3", C::kMarks), QStringLiteral("not read"));
}

TEST_F(MapTest, PolledFieldsFollowAndMarksReadOnADarkPalette) {
    open_map();
    // The poll reads the load current: the map follows without a read.
    ui().io0023->click(); // NRST and NSLP high: the bucks start
    ui().io0024->click();
    set_chip_register(0, 0x21, 5);
    kit("load 5 1230");
    kit("advance 1000");
    window->timer_func();
    const int counts = (chip_register(0, 0x21) >> 4 & 7) << 8 | chip_register(0, 0x22);
    EXPECT_GT(counts, 100);
    EXPECT_EQ(text("BUCK_LOAD_CURR", C::kValue), QString::asprintf("0x%03X", counts));

    ui().autowrite->click();
    item("DELAY_B1")->setText(C::kValue, QStringLiteral("0x21"));
    for (const QColor &base : {QColor(Qt::white), QColor(30, 30, 30)}) {
        QPalette palette = map->palette();
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::Text, base.lightness() < 128 ? Qt::white : Qt::black);
        map->setPalette(palette);
        QApplication::processEvents();
        const QColor mark = item("DELAY_B1")->background(C::kValue).color();
        const QColor text_colour = map->palette().color(QPalette::Text);
        // The mark stands out from the base, and the text from the mark.
        EXPECT_GT(std::abs(mark.lightness() - text_colour.lightness()), 110) << base.name().toStdString();
        EXPECT_NE(mark, base);
    }
}

// The kit starts each buck on its own delay (10 ms per count of DELAY_Bk)
// from the NRST rise; the burst's polls, one per simulated millisecond, time
// it against the plan of the registers the chip had at that moment.
TEST_F(WindowTest, PowerUpTimedFromNrstAgainstTheFrozenPlan) {
    int64_t us = 5'000'000;
    session.set_power_up_clock([&us] { return us; });
    const auto wait_ms = [&](int ms) {
        us += ms * 1000;
        kit("advance " + std::to_string(ms));
    };
    kit("multiphase 1"); // every buck alone
    open_powered();
    PowerUpWindow *view = window->workbench_windows().power_up;
    const struct {
        int buck;
        int vset_reg, vset;   // enable and voltage
        int ctrl_reg, ramp;   // RAMP_Bk, the low nibble
        int delay_reg, delay; // DELAY_Bk
        bool enabled, never;
        double delay_ms;
        int target_mv;        // 0: no item
        double soft_start_ms; // < 0: unknown
        double power_good_ms; // < 0: not seen within the burst
        const char *start, *end, *late;
    } rows[] = {
        {0, 0x00, 0xA0, 0x07, 4, 0x12, 10, true, false, 1.0, 820, 820 / 1.9 / 1000, 100, "1.00", "1.43", "98.57"},
        {1, 0x03, 0x20, 0x08, 0, 0x13, 15, false, false, 1.5, 820, 820 / 30.0 / 1000, -1, "disabled", "", ""},
        {2, 0x04, 0xC6, 0x09, 9, 0x14, 0, true, false, 0.0, 1200, -1, 0, "0.00", "? (ramp)", ""},
        {3, 0x01, 0x8A, 0x0A, 7, 0x15, 0xFF, true, true, 0.0, 600, 600 / 0.23 / 1000, -1, "never", "", ""},
        {5, 0x02, 0xA0, 0x0C, 4, 0x17, 30, true, false, 3.0, 820, 820 / 1.9 / 1000, 300, "3.00", "3.43", "296.57"},
    };
    for (const auto &r : rows) {
        set_chip_register(0, r.vset_reg, r.vset);
        set_chip_register(0, r.ctrl_reg, (chip_register(0, r.ctrl_reg) & 0xF0) | r.ramp);
        set_chip_register(0, r.delay_reg, r.delay);
    }
    session.read_all();
    wait_ms(300);
    ui().io0024->click(); // NSLP, then NRST launches the sequence
    wait_ms(200);
    ui().io0023->click();
    ASSERT_TRUE(view->rise_seen());
    while (session.watching_power_up()) {
        wait_ms(1);
        session.power_up_step();
    }
    QApplication::processEvents();
    const evalpanel::PowerUpRecord &record = *view->record();
    EXPECT_TRUE(record.done);
    EXPECT_NEAR(record.watched_ms, evalpanel::PowerUpRecord::kBurstMs, 1.0);
    EXPECT_DOUBLE_EQ(record.nslp_ms.value_or(0), -200);
    EXPECT_DOUBLE_EQ(record.viosys_ms.value_or(0), -500);
    // Written after the power-up: the plan shown is still the one it ran.
    set_chip_register(0, 0x12, 0x33);
    set_chip_register(0, 0x00, 0x20);
    session.read_all();
    QApplication::processEvents();
    for (const auto &r : rows) {
        SCOPED_TRACE(r.buck);
        const BuckStart &b = view->plan()[static_cast<size_t>(r.buck)];
        EXPECT_EQ(b.enabled, r.enabled);
        EXPECT_EQ(b.never, r.never);
        EXPECT_DOUBLE_EQ(b.delay_ms, r.delay_ms);
        EXPECT_EQ(b.target_mv.value_or(0), r.target_mv);
        if (r.soft_start_ms < 0)
            EXPECT_FALSE(b.soft_start_ms.has_value());
        else
            EXPECT_NEAR(b.soft_start_ms.value_or(-1), r.soft_start_ms, 1e-9);
        const MeasuredStart &m = view->measured()[static_cast<size_t>(r.buck)];
        EXPECT_DOUBLE_EQ(m.power_good_ms.value_or(-1), r.power_good_ms);
        EXPECT_EQ(view->table()->item(r.buck, 1)->text(), QString::fromLatin1(r.start));
        EXPECT_EQ(view->table()->item(r.buck, 2)->text(), QString::fromLatin1(r.end));
        EXPECT_EQ(view->table()->item(r.buck, 3)->text().startsWith(QStringLiteral("not seen")), r.power_good_ms < 0);
        EXPECT_EQ(view->table()->item(r.buck, 4)->text(), QString::fromLatin1(r.late));
    }
    // Buck0 was seen by the poll a millisecond after the one that missed it.
    EXPECT_DOUBLE_EQ(view->measured()[0].resolution_ms, 1.0);
    EXPECT_TRUE(power_up_csv(record, view->plan(), view->measured())
                    .contains("\n0,1,820,1.00,1.43,100.00,1.00,98.57\n"));
}

// With NRST high already, the supply's rise launches the sequence: timed
// from it, with the registers the bring-up read as the plan.
TEST_F(WindowTest, PowerUpLaunchedByTheSupplyWithNrstHigh) {
    int64_t us = 0;
    session.set_power_up_clock([&us] { return us; });
    open_window();
    ui().io0024->click();
    ui().io0023->click();
    ui().io0022->click();
    PowerUpWindow *view = window->workbench_windows().power_up;
    ASSERT_TRUE(view->rise_seen());
    while (session.watching_power_up()) {
        us += 1000;
        kit("advance 1");
        session.power_up_step();
    }
    QApplication::processEvents();
    EXPECT_TRUE(view->record()->nrst_high_before);
    EXPECT_TRUE(view->record()->registers_valid);
    EXPECT_DOUBLE_EQ(view->plan()[5].delay_ms, 0.5); // DELAY_B5 at power-on
    EXPECT_DOUBLE_EQ(view->measured()[5].power_good_ms.value_or(-1), 50);
}

TEST_F(WindowTest, AllCurrentSourcesAreMeasuredInTurn) {
    open_powered();
    for (int k = 0; k < evalpanel::kBuckCount; ++k)
        kit("load " + std::to_string(k) + " " + std::to_string(200 + 100 * k));
    TelemetryWindow *telemetry = window->workbench_windows().telemetry;
    telemetry->show();
    const int before = chip_register(0, 0x21) & 0x07;
    telemetry->current_source()->setCurrentIndex(1);
    emit telemetry->current_source()->activated(1);
    std::set<int> sources;
    for (int i = 0; i < 2 * (evalpanel::kBuckCount + 1); ++i) {
        kit("advance 150");
        window->timer_func();
        sources.insert(telemetry->samples().back().current_source);
    }
    EXPECT_EQ(sources, (std::set<int>{0, 1, 2, 3, 4, 5, 6}));
    // Back to one source: the one selected before.
    emit telemetry->current_source()->activated(0);
    EXPECT_EQ(chip_register(0, 0x21) & 0x07, before);
}

} // namespace
