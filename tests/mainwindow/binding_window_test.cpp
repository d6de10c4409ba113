// Controls bound to registers and pins, on the virtual kit: what a refresh
// shows, what a click or a choice writes, and the command log lines.
#include "window_fixture.h"

#include "console/command_interpreter.h"
#include "console/console.h"

namespace {

using BindingWindowTest = WindowTest;

// Each row: the chip's byte at a refresh, the item shown, then the byte
// changed behind the window's back (bits outside the field), an item
// chosen, and the byte written: the handler merges into a live read.
TEST_F(BindingWindowTest, SelectorsShowAndWriteTheirFields) {
    open_powered();
    const struct {
        QComboBox *combo;
        int reg, chip_value, shown, live_value, choose_item, written_value;
    } rows[] = {
        // Output voltage: item i is field value i + 10; below 10 no item.
        {ui().co0060, 0x00, 0x32, 40, 0xB2, 0, 0x8A},
        {ui().co0060, 0x00, 0x85, -1, 0x05, 1, 0x0B},
        // PFM exit level: item i is field value i + 3; the upper nibble stays.
        {ui().co1930, 0x19, 0x52, -1, 0x52, 0, 0x53},
        {ui().co1930, 0x19, 0x07, 4, 0x07, 2, 0x05},
        // Current limit: two bits, three items.
        {ui().co0776, 0x07, 0xC5, -1, 0xC5, 1, 0x45},
        // Delay: a whole register.
        {ui().co1270, 0x12, 0xFF, 255, 0xFF, 10, 0x0A},
        // A disable bit listed "Enabled" first.
        {ui().co1033, 0x10, 0x08, 1, 0x08, 0, 0x00}};
    for (const auto &c : rows) {
        SCOPED_TRACE(c.combo->objectName().toStdString() + " " + std::to_string(c.chip_value));
        set_chip_register(0, c.reg, c.chip_value);
        ui().readregisters->click();
        EXPECT_EQ(c.combo->currentIndex(), c.shown);
        set_chip_register(0, c.reg, c.live_value);
        choose(c.combo, c.choose_item);
        EXPECT_EQ(chip_register(0, c.reg), c.written_value);
        EXPECT_EQ(cache(c.reg), c.written_value);
    }
    EXPECT_EQ(last_log_line(), "DIS_DIF_B0 = 0x0");
}

// Without auto-write a Clear button writes at once; other controls wait for
// Write Registers, even when auto-write is switched back on.
TEST_F(BindingWindowTest, WithoutAutoWriteOnlyClearButtonsWrite) {
    open_powered();
    kit("flag T_WARNING on");
    kit("flag T_WARNING off"); // the flag stays latched
    window->timer_func();
    ASSERT_EQ(chip_register(0, 0x0E) & 0x08, 0x08);
    EXPECT_EQ(ui().le0e3->text(), "1");
    ASSERT_EQ(chip_register(0, 0x0F) & 0x02, 0);

    ui().autowrite->click();
    ASSERT_FALSE(window->auto_write());
    ui().cb0e3->click();
    EXPECT_EQ(chip_register(0, 0x0E) & 0x08, 0);
    EXPECT_EQ(last_log_line(), "T_WARNING = 0");
    ui().cb0f1->click();
    EXPECT_EQ(cache(0x0F) & 0x02, 0x02);
    EXPECT_EQ(chip_register(0, 0x0F) & 0x02, 0) << "not written yet";
    EXPECT_EQ(last_log_line(), "MASK_OVP = 1");
    ui().autowrite->click();
    EXPECT_EQ(chip_register(0, 0x0F) & 0x02, 0);
    ui().writeregisters->click();
    EXPECT_EQ(chip_register(0, 0x0F) & 0x02, 0x02);
}

// Switching VIOSYS off only drives the pin: no access level is set.
TEST_F(BindingWindowTest, VioSysBoxOffOnlyDrivesThePin) {
    open_powered();
    const int lines_on = log_lines().size();
    ui().io0022->click();
    EXPECT_EQ(kit_pin(0, 22), 0);
    EXPECT_FALSE(log_lines().mid(lines_on).contains("advanced"));
    EXPECT_FALSE(ui().io0022->isChecked());
}

TEST_F(BindingWindowTest, AFailedLiveReadMergesIntoFF) {
    open_powered();
    kit("nack on");
    ui().cb0f0->click();
    EXPECT_EQ(cache(0x0F), 0xFF);
    EXPECT_EQ(state(), evalpanel::kNotAcknowledged);
    const QStringList lines = log_lines();
    // The record line says what was meant, the mark that it did not happen.
    EXPECT_TRUE(lines.contains("NACK"));
    EXPECT_EQ(lines.mid(lines.size() - 2),
              QStringList({"MASK_SCP = 1", "register 0x0F = 0xFF (failed)"}));
    EXPECT_EQ(window->connection_label()->text(), "   NACK   ");
}

TEST_F(BindingWindowTest, BottomRowSelectsBusAddressAndSpeed) {
    open_powered();
    choose(ui().comboBox_3, 1);
    EXPECT_EQ(session.bus(), 1);
    choose(ui().comboBox_3, 0);
    EXPECT_EQ(session.bus(), 0);
    engine.interpreter().parse_cmd("i2c_bus(vt)");
    EXPECT_EQ(ui().comboBox_3->currentIndex(), 1) << "the selector follows the console";

    choose(ui().proto, 2);
    EXPECT_EQ(session.speed_a(), 1);
    EXPECT_EQ(session.speed_b(), 1);

    choose(ui().comboBox_8, 1);
    EXPECT_EQ(session.device_address(), 0x61);
}

// The interrupt indicator is red while the line is low; Clear Interrupts
// clears every flag.
TEST_F(BindingWindowTest, InterruptIndicatorIsRedWhileTheLineIsLowAndClearingClearsEveryFlag) {
    open_powered();
    window->timer_func();
    EXPECT_EQ(ui().lio0018->text(), "0");
    EXPECT_EQ(base_colour(ui().lio0018), rgb(kIndicatorOff));

    kit("flag OVP on");
    ASSERT_EQ(kit_pin(0, 18), 0);
    window->timer_func();
    EXPECT_EQ(ui().lio0018->text(), "1");
    EXPECT_EQ(base_colour(ui().lio0018), rgb(kIndicatorOn));
    EXPECT_EQ(ui().le0e1->text(), "1");
    EXPECT_EQ(base_colour(ui().le0e1), rgb(kIndicatorOn));

    kit("dietemp 1");
    for (const char *flag : {"OVP", "UVLO", "NPG_B0"}) {
        kit(std::string("flag ") + flag + " on");
        kit(std::string("flag ") + flag + " off");
    }
    ASSERT_NE(chip_register(0, 0x0D) & 0xFC, 0);
    window->on_clear_ints_clicked();
    EXPECT_EQ(chip_register(0, 0x0E), 0);
    EXPECT_EQ(chip_register(0, 0x0D), 0x01) << "only the die temperature level is left";
    EXPECT_EQ(ui().le0e1->text(), "0");
}

} // namespace
