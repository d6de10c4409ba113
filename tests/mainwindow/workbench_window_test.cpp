// The register map and telemetry windows on the whole main window: marks,
// edits in place, the filter, the menus, and the fault list.
#include <QListWidget>
#include <QMenu>
#include <QTreeWidget>

#include "device/configuration.h"
#include "device/workbench.h"
#include "register_map_window.h"
#include "telemetry_window.h"
#include "window_fixture.h"

namespace {

QTreeWidgetItem *row(QTreeWidget *tree, const QString &name) {
    const auto found = tree->findItems(name, Qt::MatchExactly | Qt::MatchRecursive,
                                       RegisterMapWindow::kName);
    return found.isEmpty() ? nullptr : found.first();
}

TEST_F(WindowTest, RegisterMapMarksEditsAndFilters) {
    open_powered();
    RegisterMapWindow *map = window->workbench_windows().register_map;
    map->show();
    QTreeWidget *tree = map->tree();
    using C = RegisterMapWindow;

    // Reset values: RAMP_B3 has its default 4; no configuration loaded yet.
    ASSERT_NE(row(tree, QStringLiteral("RAMP_B3")), nullptr);
    EXPECT_EQ(row(tree, QStringLiteral("RAMP_B3"))->text(C::kMarks), QString());
    set_chip_register(0, 0x0A, (chip_register(0, 0x0A) & 0xF0) | 0x07);
    evalpanel::ConfigurationPlan plan;
    plan.named[0x12] = true;
    plan.mask[0x12] = 0xFF;
    plan.value[0x12] = 0x33; // the chip holds 0x0A
    workbench.set_loaded_configuration(plan);
    session.read_all();
    map->refresh();
    EXPECT_EQ(row(tree, QStringLiteral("RAMP_B3"))->text(C::kMarks), QStringLiteral("\u2260 default"));
    EXPECT_EQ(row(tree, QStringLiteral("R_BUCK3_CTRL"))->text(C::kMarks), QStringLiteral("\u2260 default"));
    EXPECT_EQ(row(tree, QStringLiteral("DELAY_B0"))->text(C::kMarks), QStringLiteral("\u2260 file"));
    EXPECT_EQ(row(tree, QStringLiteral("RAMP_B3"))->text(C::kValue), QStringLiteral("0x7"));
    EXPECT_EQ(row(tree, QStringLiteral("VSET_B0"))->text(C::kText), ui().co0060->currentText());

    // An edit in place writes the chip and logs as the console does; a bad
    // value writes nothing.
    row(tree, QStringLiteral("DELAY_B0"))->setText(C::kValue, QStringLiteral("0x33"));
    EXPECT_EQ(chip_register(0, 0x12), 0x33);
    EXPECT_EQ(last_log_line(), QStringLiteral("DELAY_B0 = 0x33"));
    QApplication::processEvents();
    // Now as the file has it, and no longer at its default.
    EXPECT_EQ(row(tree, QStringLiteral("DELAY_B0"))->text(C::kMarks), QStringLiteral("\u2260 default"));
    row(tree, QStringLiteral("R_DELAY_BUCK1"))->setText(C::kValue, QStringLiteral("0x1FF"));
    EXPECT_EQ(chip_register(0, 0x13), 0x0A);
    EXPECT_TRUE(map->message()->text().contains(QStringLiteral("out of bounds")));

    map->filter()->setText(QStringLiteral("ramp_b3"));
    EXPECT_FALSE(row(tree, QStringLiteral("RAMP_B3"))->isHidden());
    EXPECT_TRUE(row(tree, QStringLiteral("LP_B3"))->isHidden());
    EXPECT_TRUE(row(tree, QStringLiteral("R_VSET_B0"))->isHidden());

    // Unpowered, nothing is shown as read.
    ui().io0022->click();
    map->refresh();
    EXPECT_EQ(row(tree, QStringLiteral("RAMP_B3"))->text(C::kMarks), QStringLiteral("not read"));
}

TEST_F(WindowTest, MenusAndTelemetryFaults) {
    open_powered();
    QStringList file;
    for (QAction *a : ui().menuFile->actions())
        file << a->text();
    EXPECT_EQ(file.join(QLatin1Char('|')).toStdString(),
              "Load Registers|Save Registers|Export Registers as C Header\u2026|Compare "
              "Configurations\u2026|Record Telemetry\u2026||Exit");
    TelemetryWindow *telemetry = window->workbench_windows().telemetry;
    telemetry->show();
    window->timer_func();
    kit("flag THSD on");
    window->timer_func();
    const auto found = telemetry->faults()->findItems(QStringLiteral("THSD rise"), Qt::MatchEndsWith);
    EXPECT_EQ(found.size(), 1);
    EXPECT_GT(telemetry->plotted_points(), 0);
    telemetry->set_paused(true);
    const int points = telemetry->plotted_points();
    window->timer_func();
    EXPECT_EQ(telemetry->plotted_points(), points);
}

} // namespace
