// The register map and telemetry windows on the whole main window: what
// the map shows against the chip (pending changes, read-only fields,
// power-on marks, units, the filter) and the menus.
#include <QListWidget>
#include <QMenu>
#include <QTreeWidget>

#include "device/configuration.h"
#include "device/workbench.h"
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
        {"DELAY_B1", false, "0x20", 0x13, -1, "0x0A", "pending 0x20", "pending"},
        {"RAMP_B3", false, "5", 0x0A, -1, "0x4", "pending 0x5", "pending"},
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
        EXPECT_TRUE(map->message()->text().contains(QString::fromLatin1(r.message)))
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
    EXPECT_EQ(text("LP_EN", C::kMarks), QStringLiteral("pending 0x0"));

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

    // Units from the selectors' own tables, for every buck's fields.
    const struct {
        int reg;
        int value;
        const char *field;
        const char *unit;
        const char *access;
    } units[] = {
        {0x01, 0x20, "VSET_B3", "820 mV", "RW"},  {0x05, 0x8A, "VSET_B4", "600 mV", "RW"},
        {0x16, 0x0F, "DELAY_B4", "1.5 ms", "RW"}, {0x0C, 0x42, "RAMP_B5", "7.5 mV/us", "RW"},
        {0x0B, 0x80, "OC_LEV_B4", "2.5 A", "RW"}, {0x1D, 0x25, "PFM_EXIT_B4", "275 mA", "RW"},
        {0x18, 0x84, "DIE_REV", "", "RW test"},
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

TEST_F(WindowTest, MenusAndTelemetryFaults) {
    open_powered();
    QStringList file;
    for (QAction *a : ui().menuFile->actions())
        file << a->text();
    EXPECT_EQ(file.join(QLatin1Char('|')).toStdString(),
              "Load Registers|Save Registers|Record Telemetry\u2026||Exit");
    TelemetryWindow *telemetry = window->workbench_windows().telemetry;
    telemetry->show();
    window->timer_func();
    kit("flag THSD on");
    window->timer_func();
    const auto found = telemetry->faults()->findItems(QStringLiteral("THSD rise"), Qt::MatchEndsWith);
    EXPECT_EQ(found.size(), 1);
}

} // namespace
