// The simulated adapter board answering raw request reports; the program's
// status script runs on it in every window test.
#include "kit_harness.h"
#include "chip/status_script.h"

namespace {

using namespace kit_test;
constexpr uint32_t kFail = 0xFFFFFFFF;

TEST_F(KitTest, BootloaderServesOnlyItsOwnCommands) {
    const struct { uint32_t word; bool in_bootloader, in_firmware; } cases[] = {
        {0xA1, false, true}, {0xCA, false, true}, {0xCD, false, true},  {0xB2, true, true},
        {0xB3, true, true},  {0xB1, true, false}, {0x5A, false, false}};
    for (const bool boot : {true, false}) {
        exchange(Request(boot ? 0xA3 : 0xB0)); // into the bootloader, or start the firmware
        for (const auto &c : cases) {
            const bool served = boot ? c.in_bootloader : c.in_firmware;
            const uint32_t s = status(Request(c.word)); // 0xB1 without a header: a status of its own
            EXPECT_EQ(s == kFail, !served) << std::hex << c.word << (boot ? " boot" : " fw");
        }
    }
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

// A18 follows the chip's interrupt line (InterruptIndicatorIsRed...); an
// input, so driving it changes nothing.
TEST_F(KitTest, PinsHoldLevelsPerGroup) {
    pin_set(0, 3, 1);
    pin_set(1, 7, 1);
    pin_set(0, 22, 1); // VIOSYS only
    control("flag SCP on");
    pin_set(0, 18, 1);
    EXPECT_EQ(read_pins(1), 1u << 7);
    EXPECT_EQ(read_pins(0), 1u << 3 | 1u << 22);
}

TEST_F(KitTest, EachBusReachesItsDevices) {
    pin_set(0, 22, 1); // VIOSYS only
    const struct { int g1, p1, g2, p2; bool chip, sensor; } cases[] = {
        {0, 1, 0, 5, true, false}, {0, 5, 0, 1, true, false},
        {1, 18, 1, 19, false, true}, {0, 1, 0, 4, false, false}};
    for (const auto &c : cases) {
        exchange(Request(0xCA).u32(4, c.g1).u32(8, c.p1).u32(12, c.g2).u32(16, c.p2).u32(20, 2));
        EXPECT_EQ(le32(sw_read(0x60, 0x18, 1), 0) == 0, c.chip) << c.p1 << "/" << c.p2;
        EXPECT_EQ(le32(sw_read(0x48, 0x00, 2), 0) == 0, c.sensor) << c.p1 << "/" << c.p2;
    }
    // The controller's bus reaches both.
    EXPECT_EQ(exchange(Request(0xA6).u8(4, 1).u8(5, 0x18).u8(6, 1).u8(7, 0x60))[4], 0x84);
    EXPECT_EQ(le32(exchange(Request(0xA6).u8(4, 2).u8(5, 0).u8(6, 1).u8(7, 0x48)), 0), 0u);
    EXPECT_EQ(le32(exchange(Request(0xA6).u8(4, 1).u8(5, 0).u8(6, 1).u8(7, 0x33)), 0), kFail);
}

TEST_F(KitTest, ScriptStepsFillTheBlock) {
    power_chip(); // the status script's sensor and bus steps run in every window test
    const uint8_t script[] = {0x00, 0x60, 0x00,       // chip at 0x60
                              0x01, 0x40, 0x5A, 0x01, // write 0x5A to 0x40
                              0x02, 0x40, 0x03, 0x01, // read it to offset 3
                              0x05, 0x01, 0x00, 0x06, // Buck0 voltage to offsets 6, 7
                              0x08, 0x20, 0xA1, 0x07, // wait 500000 tenths of a microsecond
                              0xFF};
    load_script(script, sizeof script, 100);
    const std::string before = control("clock");
    const Report r = run_script(100);
    EXPECT_EQ(le32(r, 0), 0u);
    EXPECT_EQ(r[4 + 3], 0x5A);
    EXPECT_NEAR(r[4 + 6] | r[4 + 7] << 8, 410, 1); // 1000 mV at 2.5 V / 1024
    const std::string after = control("clock");
    // The 50 ms wait passed before the reply came.
    EXPECT_NEAR(std::stod(after.substr(7)) - std::stod(before.substr(7)), 50.0, 1e-6);
}

TEST_F(KitTest, AFailedStepStillReturnsTheBlock) {
    power_chip();
    load_script(rx5120::kStatusScriptImage.data(), rx5120::kStatusScriptImage.size());
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

} // namespace
