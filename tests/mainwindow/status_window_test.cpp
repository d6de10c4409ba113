// Status polling on the virtual kit: buck modes, load current and
// temperatures after each tick; the texts are proven on the decoders.
#include "window_fixture.h"


namespace {

class StatusWindowTest : public WindowTest {
  protected:
    // The texts of fields prefix0 .. prefix{count - 1}.
    QStringList texts(const char *prefix, int count = 6) {
        QStringList out;
        for (int i = 0; i < count; ++i)
            out << window->findChild<QLineEdit *>(prefix + QString::number(i))->text();
        return out;
    }
    // Lets the kit's time pass, then polls once.
    void tick_after(int ms) {
        kit("advance " + std::to_string(ms));
        window->timer_func();
    }
};

// Modes from power-up to test mode; the load current goes to the field of
// its source; the poll timer shows the temperatures.
TEST_F(StatusWindowTest, ModesAndLoadCurrentFollowTheBucks) {
    open_powered();
    window->timer_func();
    EXPECT_EQ(texts("mode"), QStringList(6, "Disabled")) << "NRST low";

    ui().io0023->click(); // NRST: the power-up sequence starts
    tick_after(1);
    EXPECT_EQ(ui().mode0->text(), "Soft Start-Up");

    tick_after(1000);
    EXPECT_EQ(texts("mode"), QStringList(6, "Sleeping")) << "NSLP low";

    ui().io0024->click(); // awake
    tick_after(10);
    const QStringList awake = texts("mode");
    EXPECT_EQ(awake[0], "PWM") << "800 mA over the three phases of Buck0";
    EXPECT_EQ(awake[5], "PFM") << "100 mA on Buck5 alone";
    EXPECT_EQ(ui().multiphase0->text(), "Master; 2/3 Phases Active");

    kit("load 5 1230");
    set_chip_register(0, 0x21, 0x05); // source Buck5
    tick_after(5);
    const QStringList first = texts("current", 7);
    EXPECT_TRUE(first[5].endsWith(" mA"));
    EXPECT_NEAR(first[5].chopped(3).toInt(), 1230, 10);

    set_chip_register(0, 0x21, 0x07); // no source: nothing changes
    tick_after(5);
    EXPECT_EQ(texts("current", 7), first);

    kit("load 0 1600");
    set_chip_register(0, 0x21, 0x00); // Buck0; Buck5 keeps its reading
    tick_after(5);
    EXPECT_EQ(ui().current5->text(), first[5]);
    // Buck0 shows what the chip reports for it now (one count of noise).
    const int buck0_ma = (((chip_register(0, 0x21) >> 4) & 7) << 8 | chip_register(0, 0x22)) * 10;
    EXPECT_TRUE(ui().current0->text().endsWith(" mA"));
    EXPECT_NEAR(ui().current0->text().chopped(3).toInt(), buck0_ma, 20);
    EXPECT_GT(buck0_ma, first[0].chopped(3).toInt() + 100);

    set_chip_register(0, 0xE0, 0x01);
    tick_after(1);
    EXPECT_EQ(ui().mode0->text(), "Test Mode");

    // Poll Status starts the poll timer, which refreshes the temperatures.
    ui().pollstatus->click();
    kit("boardtemp -1");
    kit("dietemp 2");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return ui().board_temp->text() == QString::fromUtf8("-1.0 °C"); }, 1000));
    EXPECT_EQ(ui().chip_temp->text(), QString::fromUtf8("Die temperature between 110 and 150 °C"));
    ui().pollstatus->click();
    EXPECT_FALSE(session.polling());
}

} // namespace
