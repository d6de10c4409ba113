// The simulated adapter board answering raw request reports: modes, flash,
// pins, buses, scripts, converters and peripherals.
#include "kit_harness.h"
#include "status_script_image.h"

namespace {

using namespace kit_test;
constexpr uint32_t kFail = 0xFFFFFFFF;

TEST_F(KitTest, BootloaderServesOnlyItsOwnCommands) {
    struct Case {
        uint32_t word;
        bool in_bootloader, in_firmware;
    };
    const Case cases[] = {
        {0xA1, false, true}, {0xA2, false, true}, {0xA7, false, true},  {0xCA, false, true},
        {0xC4, false, true}, {0xC6, false, true}, {0xCD, false, true},  {0xB2, true, true},
        {0xB3, true, true},  {0xB1, true, false}, {0x5A, false, false},
    };
    for (const bool boot : {true, false}) {
        exchange(Request(boot ? 0xA3 : 0xB0)); // into the bootloader, or start the firmware
        for (const auto &c : cases) {
            const bool served = boot ? c.in_bootloader : c.in_firmware;
            Request r(c.word);
            if (c.word == 0xB1)
                r.u32(4, 0); // not a header: refused with a status of its own
            const uint32_t s = status(r);
            EXPECT_EQ(s == kFail, !served) << std::hex << c.word << (boot ? " boot" : " fw");
        }
    }
}

TEST_F(KitTest, VersionsAndNoFirmware) {
    exchange(Request(0xA3));
    Report r = exchange(Request(0xB2));
    EXPECT_EQ(le32(r, 8), 0x010004u);
    EXPECT_EQ(le32(r, 12), 0x010200u);
    control("firmware none");
    control("bootloader 2.3.4");
    r = exchange(Request(0xB2));
    EXPECT_EQ(le32(r, 8), 0x020304u);
    EXPECT_EQ(le32(r, 12), kFail);
    r = exchange(Request(0xB0));
    EXPECT_EQ(le32(r, 0), kFail);
    EXPECT_EQ(le32(r, 4), kFail);
    EXPECT_EQ(status(Request(0xA2)), kFail); // still in the bootloader
}

TEST_F(KitTest, FlashingAnImageMakesItsVersionCurrent) {
    exchange(Request(0xA3));
    EXPECT_NE(status(Request(0xB1).u32(4, 0x04050706).u32(8, 0x020000)), 0u);
    EXPECT_EQ(le32(exchange(Request(0xB2)), 12), 0x010200u); // refused: nothing changed

    ASSERT_EQ(status(Request(0xB1).u32(4, 0x04050607).u32(8, 0x030105)), 0u);
    uint8_t page[256];
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < 256; ++i)
            page[i] = static_cast<uint8_t>(i * 7 + p);
        for (int off = 0; off < 256; off += 56) {
            const int n = off + 56 <= 256 ? 56 : 256 - off;
            EXPECT_EQ(status(Request(0xB1).u32(4, n).data(8, page + off, n)), 0u);
        }
    }
    EXPECT_EQ(status(Request(0xB0)), kFail); // no firmware until the end mark
    EXPECT_EQ(status(Request(0xB1).u32(4, 0)), 0u);
    EXPECT_EQ(le32(exchange(Request(0xB2)), 12), 0x030105u);
    const Report mem = exchange(Request(0xB3).u32(4, 0x4000 + 256));
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(mem[i], static_cast<uint8_t>(i * 7 + 1));
    EXPECT_EQ(status(Request(0xB0)), 0u);
    EXPECT_EQ(status(Request(0xA2)), 0u);
}

TEST_F(KitTest, AnImageEndingInsideAPageLeavesNoFirmware) {
    exchange(Request(0xA3));
    ASSERT_EQ(status(Request(0xB1).u32(4, 0x04050607).u32(8, 0x030105)), 0u);
    uint8_t chunk[56] = {1};
    EXPECT_EQ(status(Request(0xB1).u32(4, 56).data(8, chunk, 56)), 0u);
    EXPECT_NE(status(Request(0xB1).u32(4, 0)), 0u);
    EXPECT_EQ(le32(exchange(Request(0xB2)), 12), kFail);
    // A new attempt starts over with its header.
    ASSERT_EQ(status(Request(0xB1).u32(4, 0x04050607).u32(8, 0x000102)), 0u);
    EXPECT_EQ(status(Request(0xB1).u32(4, 0)), 0u);
    EXPECT_EQ(le32(exchange(Request(0xB2)), 12), 0x000102u);
}

TEST_F(KitTest, BootloaderReplacementTakesTwoHundredFiftySixBlocks) {
    exchange(Request(0xA3));
    EXPECT_EQ(status(Request(0xC3)), 0u);
    for (int i = 0; i < 256; ++i) {
        Request block(i == 0 ? 0x04050607 : 0xA2); // blocks carry no command word
        if (i == 0)
            block.u32(4, 0x010100);
        block.u8(63, i);
        exchange(block);
    }
    EXPECT_EQ(le32(exchange(Request(0xB2)), 8), 0x010100u);
    const Report mem = exchange(Request(0x1B3).u32(4, 0));
    EXPECT_EQ(le32(mem, 0), 0x04050607u);
    EXPECT_EQ(mem[63], 0);
    EXPECT_EQ(exchange(Request(0xB3).u32(4, 64))[63], 1);
    EXPECT_NE(control("stats").find("blocks 256"), std::string::npos);
}

TEST_F(KitTest, PinsHoldLevelsAndA18FollowsTheInterruptLine) {
    pin_set(0, 3, 1);
    pin_set(1, 7, 1);
    EXPECT_EQ(read_pins(1), 1u << 7);
    EXPECT_EQ(read_pins(0) & ~(1u << 18), 1u << 3);
    EXPECT_TRUE(read_pins(0) & (1u << 18)); // chip off: pulled up
    power_chip(false);
    control("flag SCP on");
    EXPECT_FALSE(read_pins(0) & (1u << 18));
    pin_set(0, 18, 1); // an input: driving it changes nothing
    EXPECT_FALSE(read_pins(0) & (1u << 18));
    EXPECT_TRUE(chip_write(0x0F, 0x01)); // MASK_SCP
    EXPECT_TRUE(read_pins(0) & (1u << 18));
}

TEST_F(KitTest, UnplugLosesEveryPinLevel) {
    power_chip();
    control("unplug");
    uint8_t buf[64] = {};
    EXPECT_EQ(kit->write(*session, buf), -2);
    EXPECT_EQ(kit->open(kVid, kPid), nullptr);
    control("plug");
    EXPECT_EQ(kit->write(*session, buf), -2); // the old opening stays dead
    session = kit->open(kVid, kPid);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(read_pins(0) & ~(1u << 18), 0u);
    EXPECT_EQ(chip_read(0x18), -1); // VIOSYS is gone with them
}

TEST_F(KitTest, EachBusReachesItsDevices) {
    power_chip(false);
    struct Case {
        int g1, p1, g2, p2;
        bool chip, sensor;
    };
    const Case cases[] = {
        {0, 1, 0, 5, true, false},   {0, 5, 0, 1, true, false},   {0, 2, 0, 4, true, false},
        {1, 18, 1, 19, false, true}, {1, 19, 1, 18, false, true}, {0, 1, 0, 4, false, false},
    };
    for (const auto &c : cases) {
        select_bus(c.g1, c.p1, c.g2, c.p2);
        EXPECT_EQ(le32(sw_read(0x60, 0x18, 1), 0) == 0, c.chip) << c.p1 << "/" << c.p2;
        EXPECT_EQ(le32(sw_read(0x48, 0x00, 2), 0) == 0, c.sensor) << c.p1 << "/" << c.p2;
    }
    // The controller's bus reaches both.
    EXPECT_EQ(exchange(Request(0xA6).u8(4, 1).u8(5, 0x18).u8(6, 1).u8(7, 0x60))[4], 0x84);
    EXPECT_EQ(le32(exchange(Request(0xA6).u8(4, 2).u8(5, 0).u8(6, 1).u8(7, 0x48)), 0), 0u);
    EXPECT_EQ(le32(exchange(Request(0xA6).u8(4, 1).u8(5, 0).u8(6, 1).u8(7, 0x33)), 0), kFail);
}

TEST_F(KitTest, ChunksOfOneTransferFollowOnEachOther) {
    power_chip(false);
    ASSERT_TRUE(chip_write(0xFF, 1)); // page 1: plain registers from 0x40 on
    std::vector<uint8_t> data(53);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    std::vector<uint8_t> first(data.begin(), data.begin() + 52);
    EXPECT_EQ(le32(sw_write(0x60, 0x40, first), 0), 0u);
    EXPECT_EQ(le32(sw_write(0x60, 0x40, {data[52]}, true), 0), 0u); // same register byte
    // A hardware read repeats its register byte too; the continuation goes on.
    Report a = exchange(Request(0xA6).u8(4, 30).u8(5, 0x40).u8(6, 1).u8(7, 0x60));
    Report b = exchange(Request(0xA6).u8(4, 23).u8(5, 0x40).u8(6, 1).u8(7, 0x60).u8(9, 1));
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(a[4 + i], data[i]);
    for (int i = 0; i < 23; ++i)
        EXPECT_EQ(b[4 + i], data[30 + i]);
    EXPECT_EQ(le32(sw_read(0x60, 0, 61), 0), kFail); // longer than a chunk
}

TEST_F(KitTest, BoardSensorGivesTwelveBitsMostSignificantFirst) {
    power_chip(false);
    select_bus(1, 18, 1, 19);
    const struct {
        const char *celsius;
        uint8_t msb, lsb;
    } cases[] = {{"25", 0x19, 0x00},
                 {"-1", 0xFF, 0x00},
                 {"-0.0625", 0xFF, 0xF0},
                 {"100.5", 0x64, 0x80},
                 {"-40", 0xD8, 0x00}};
    for (const auto &c : cases) {
        control(std::string("boardtemp ") + c.celsius);
        const Report r = sw_read(0x48, 0, 2);
        EXPECT_EQ(r[4], c.msb) << c.celsius;
        EXPECT_EQ(r[5], c.lsb) << c.celsius;
    }
    pin_set(0, 22, 0); // the sensor sits on VIOSYS
    EXPECT_EQ(le32(sw_read(0x48, 0, 2), 0), kFail);
}

TEST_F(KitTest, ScriptStepsFillTheBlock) {
    power_chip();
    const uint8_t script[] = {0x00, 0x60, 0x00,       // chip at 0x60
                              0x01, 0x40, 0x5A, 0x01, // write 0x5A to 0x40
                              0x02, 0x40, 0x03, 0x01, // read it to offset 3
                              0x02, 0x18, 0x04, 0x01, // chip ID to offset 4
                              0x06, 0x00, 0x16, 0x05, // VIOSYS level to offset 5
                              0x05, 0x01, 0x00, 0x06, // Buck0 voltage to offsets 6, 7
                              0x08, 0x20, 0xA1, 0x07, // wait 500000 tenths of a microsecond
                              0x00, 0x48, 0x00, 0x04, 0x01, 0x12,       // the sensor ...
                              0x01, 0x13, 0x02, 0x02, 0x00, 0x08, 0x02, // ... 2 bytes to offset 8
                              0xFF};
    load_script(script, sizeof script, 100);
    const std::string before = control("clock");
    const Report r = run_script(100);
    EXPECT_EQ(le32(r, 0), 0u);
    EXPECT_EQ(r[4 + 3], 0x5A);
    EXPECT_EQ(r[4 + 4], 0x84);
    EXPECT_EQ(r[4 + 5], 1);
    EXPECT_NEAR(r[4 + 6] | r[4 + 7] << 8, 410, 1); // 1000 mV at 2.5 V / 1024
    EXPECT_EQ(r[4 + 8], 0x19);
    const std::string after = control("clock");
    // The 50 ms wait passed before the reply came.
    EXPECT_EQ(std::stod(after.substr(7)) - std::stod(before.substr(7)), 50.0);
}

TEST_F(KitTest, AFailedStepStillReturnsTheBlock) {
    power_chip();
    load_script(kStatusScript, sizeof kStatusScript);
    control("nack on");
    const Report r = run_script();
    EXPECT_NE(le32(r, 0), 0u);
    EXPECT_EQ(r[4 + 0x1B], 1);    // VIOSYS level
    EXPECT_EQ(r[4 + 0x23], 0x19); // the board sensor still answered
    const uint8_t bad_op[] = {0x03, 0xFF};
    load_script(bad_op, sizeof bad_op, 300);
    EXPECT_NE(le32(run_script(300), 0), 0u);
    const uint8_t outside[] = {0x06, 0x00, 0x16, 60, 0xFF};
    load_script(outside, sizeof outside, 300);
    EXPECT_NE(le32(run_script(300), 0), 0u);
    EXPECT_NE(status(Request(0xC2).u32(4, 2040).u8(8, 0xFE).u8(9, 9)), 0u); // past the memory
}

TEST_F(KitTest, ConvertersScaleToTwoPointFiveVolts) {
    power_chip();
    const auto volts = [&](uint32_t unit, uint32_t ch) {
        return le32(exchange(Request(0xC5).u32(4, unit).u32(8, ch)), 4) * 2.5 / 1024;
    };
    EXPECT_NEAR(volts(1, 0), 1.000, 0.005);
    EXPECT_NEAR(volts(1, 1), 1.200, 0.005);
    ASSERT_TRUE(chip_write(0x00, 0x80 | 0x0A)); // Buck0 to 600 mV
    EXPECT_NEAR(volts(1, 0), 0.600, 0.005);
    EXPECT_EQ(status(Request(0xC5).u32(4, 2)), kFail);
}

TEST_F(KitTest, PacketStreamRunsUntilStopped) {
    Report first = exchange(Request(0x010000C1).u32(4, 1));
    EXPECT_EQ(le32(first, 0), 1u);
    Report next{};
    for (uint32_t seq = 2; seq <= 4; ++seq) {
        ASSERT_EQ(kit->read(*session, next.data(), 100), 0);
        EXPECT_EQ(le32(next, 0), seq);
        EXPECT_EQ(le32(next, 4) - le32(first, 4), (seq - 1) * 10000);
    }
    const Report stop = exchange(Request(0xB0));
    EXPECT_EQ(le32(stop, 0), 0u);
    EXPECT_EQ(le32(stop, 4), 4u);
    EXPECT_EQ(kit->read(*session, next.data(), 500), -1);
}

TEST_F(KitTest, PeripheralsAnswerAsTheLibraryExpects) {
    Request scan(0xA7);
    for (int i = 4; i < 64; ++i)
        scan.u8(i, i * 3);
    const Report echo = exchange(scan);
    for (int i = 4; i < 64; ++i)
        EXPECT_EQ(echo[i], static_cast<uint8_t>(i * 3));
    EXPECT_EQ(status(Request(0xC6).u32(4, 48000).u32(8, 12000).u8(12, 2)), 0u);
    EXPECT_EQ(status(Request(0xC6).u8(12, 4)), kFail);
    const Report dti = exchange(Request(0xCB).u32(4, 1).u32(8, 250).u32(12, 6));
    EXPECT_EQ(le32(dti, 0), 6u);
    EXPECT_EQ(dti[4], 250);
    EXPECT_EQ(status(Request(0xCB).u32(4, 4)), kFail);
    EXPECT_EQ(status(Request(0xCC).u32(4, 1).u32(8, 0x80000000u | 120)), 0u);
    EXPECT_EQ(status(Request(0xCD)), 0u);
}

} // namespace
