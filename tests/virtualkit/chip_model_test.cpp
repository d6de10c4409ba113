// The simulated RX5120 on its own: addressing, access levels, the power-up
// sequence, multiphase phase counting, flags and the interrupt line.
#include "chip/rx5120.h"
#include "rx5120_model.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using virtualkit::Condition;
using virtualkit::Rx5120;

class ChipTest : public ::testing::Test {
  protected:
    Rx5120 chip;
    uint64_t t = 1000000;

    void at_ms(double ms) { t += static_cast<uint64_t>(ms * 1000); }
    void pins(bool viosys, bool nrst, bool nslp = true, bool addr = false) {
        chip.set_pins(viosys, nrst, nslp, addr, t);
    }
    int rd(uint8_t reg, uint8_t dev = 0x60) {
        uint8_t b = 0;
        return chip.transfer(dev, false, reg, &b, 1, t) ? b : -1;
    }
    bool wr(uint8_t reg, uint8_t v) { return chip.transfer(0x60, true, reg, &v, 1, t); }
    int state(int buck) {
        wr(0xFF, static_cast<uint8_t>(buck + 1));
        const int s = rd(0x32);
        wr(0xFF, 0);
        return s & 0x0F;
    }
    void unlock(int level) {
        wr(0xDD, 0);
        for (int i = 0; i <= level && level > 0; ++i)
            wr(0xDD, rx5120::kModeKey[i]);
    }
};

TEST_F(ChipTest, AnswersOnlyWhilePoweredAtTheSampledAddress) {
    EXPECT_EQ(rd(0x18), -1);
    pins(true, false, true, true); // address select high at power-up
    EXPECT_EQ(rd(0x18), -1);
    EXPECT_EQ(rd(0x18, 0x61), 0x84);
    pins(true, false, true, false); // a later change of the pin moves nothing
    EXPECT_EQ(rd(0x18, 0x61), 0x84);
    pins(false, false);
    pins(true, false);
    EXPECT_EQ(rd(0x18), 0x84);
}

TEST_F(ChipTest, SomeRegistersIgnoreWritesBelowTheTestLevel) {
    pins(true, false);
    for (int level : {0, 1, 2, 3}) {
        unlock(level);
        wr(0x3D, 0x05);
        wr(0x18, 0x99);
        EXPECT_EQ(rd(0x3D), level >= 3 ? 0x05 : 0x00) << level;
        EXPECT_EQ(rd(0x18), level >= 3 ? 0x99 : 0x84) << level;
    }
}

TEST_F(ChipTest, NrstLaunchesTheSequenceEachBuckSoftStartsForItsDelay) {
    pins(true, false);
    for (int b = 0; b < 6; ++b)
        EXPECT_EQ(state(b), 0);
    pins(true, true);
    // Delays 10, 10, 10, 15, 15, 5 steps of 10 ms; Buck0 leads Buck1 and 2,
    // Buck3 leads Buck4 (configuration 0). Buck5 at 100 mA: PFM (5); Buck0
    // at 800 mA over 500 mA per phase: 2 of 3 active (8); Buck3 at 400 mA:
    // PWM (4) on one phase.
    const struct {
        double after_ms;
        int buck, state;
    } rows[] = {{49, 5, 3}, {0, 0, 3}, {2, 5, 5}, {0, 0, 3}, {50, 0, 8},
                {0, 1, 4},  {0, 2, 1}, {0, 3, 3}, {50, 3, 4}, {0, 4, 1}};
    for (const auto &r : rows) {
        at_ms(r.after_ms);
        EXPECT_EQ(state(r.buck), r.state) << "buck " << r.buck << " at " << (t - 1000000) / 1000;
    }
    pins(true, false);
    EXPECT_EQ(state(0), 0);
}

// The grouping of the status decode: "M" master, "S0"/"S3" slave, "1" single;
// configurations 10 to 15 act as 0.
TEST_F(ChipTest, MultiphaseMastersCountTheirPhases) {
    const struct {
        int config;
        const char *row[6];
    } table[] = {
        {0, {"M3", "S0", "S0", "M2", "S3", "1"}},  {1, {"1", "1", "1", "1", "1", "1"}},
        {6, {"M6", "S0", "S0", "S0", "S0", "S0"}}, {9, {"M4", "S0", "S0", "M2", "S3", "S0"}},
        {15, {"M3", "S0", "S0", "M2", "S3", "1"}},
    };
    for (int b = 0; b < 6; ++b)
        chip.set_load(b, 3000, t); // enough for every phase of any group
    for (const auto &[config, row] : table) {
        chip.set_multiphase_default(config, t);
        pins(true, true);
        at_ms(200);
        for (int b = 0; b < 6; ++b) {
            const std::string kind = row[b];
            const int expect = kind[0] == 'M' ? 6 + (kind[1] - '0') : 4;
            EXPECT_EQ(state(b), expect) << "configuration " << config << " buck " << b;
        }
    }
}

TEST_F(ChipTest, FlagsLatchClearByWritingZeroAndReturnWhileTheConditionLasts) {
    pins(true, false);
    chip.set_condition(Condition::Ovp, true, t);
    chip.set_condition(Condition::NpgB3, true, t);
    EXPECT_EQ(rd(0x0E), 0x02);
    EXPECT_EQ(rd(0x0D), 0x20);
    wr(0x0E, 0x00);
    EXPECT_EQ(rd(0x0E), 0x02); // still over-voltage
    chip.set_condition(Condition::Ovp, false, t);
    EXPECT_EQ(rd(0x0E), 0x02); // latched
    wr(0x0E, 0xFD);
    EXPECT_EQ(rd(0x0E), 0x00);
    wr(0x0E, 0xFF); // writing 1 raises nothing
    EXPECT_EQ(rd(0x0E), 0x00);
    wr(0x0D, 0x00);
    EXPECT_EQ(rd(0x0D), 0x20); // NPG_B3 lasts
}

TEST_F(ChipTest, InterruptLineIsLowWhileAnUnmaskedFlagIsSet) {
    const struct { Condition c; uint8_t mask_reg, mask; } cases[] = { // mask_reg 0: none
        {Condition::Scp, 0x0F, 0x01},      {Condition::NpgB5, 0x0F, 0x80},
        {Condition::TWarning, 0x2E, 0x02}, {Condition::ILoadReady, 0x2E, 0x08},
        {Condition::Thsd, 0, 0}};
    EXPECT_TRUE(chip.int_line(t)); // unpowered: pulled up
    for (const auto &c : cases) {
        pins(false, false);
        pins(true, false);
        EXPECT_TRUE(chip.int_line(t)); // a power cycle clears the flags
        chip.set_condition(c.c, true, t);
        EXPECT_FALSE(chip.int_line(t)) << virtualkit::condition_name(c.c);
        chip.set_condition(c.c, false, t);
        wr(c.mask_reg ? c.mask_reg : 0x2E, c.mask_reg ? c.mask : 0x0A);
        EXPECT_EQ(chip.int_line(t), c.mask_reg != 0) << virtualkit::condition_name(c.c);
    }
    pins(false, false);
    pins(true, false);
    chip.set_die_level(1, t); // the TEMP flag
    EXPECT_FALSE(chip.int_line(t));
    wr(0x2E, 0x01);
    EXPECT_TRUE(chip.int_line(t));
}

} // namespace
