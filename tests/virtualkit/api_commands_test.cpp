// The kit through the adapter library: its control entry point, the
// bootloader paths, the converters, and faults no other test switches on.
#include "bridgeio.h"
#include "kit_lines.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

// From the kit's power-on state on the manual clock.
class Api : public ::testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        kit("clock manual");
        h = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(h, BRIDGEIO_INVALID_HANDLE);
    }

    // One chip register as the program reads it: the byte, or the library's
    // failure code.
    int reg_read(uint8_t reg, int dev = 0x60) {
        uint8_t b = 0;
        const int r = sw_i2c_read(h, 1, reg, 1, dev, &b, 0, 0);
        return r == 1 ? b : r;
    }

    BridgeHandle h = BRIDGEIO_INVALID_HANDLE;
};

// How answers are cut to fit: FitAnswer.
TEST(KitControl, ReturnsTheOutcomeAndFitsTheBuffer) {
    char small[12];
    EXPECT_EQ(kit_control("help", small, sizeof small), 0);
    EXPECT_STREQ(small, "...\nok\n");
    EXPECT_EQ(kit_control(nullptr, nullptr, 0), -1);
}

// A failed script step: AFailedStepStillReturnsTheBlock.
TEST_F(Api, Converters) {
    EXPECT_EQ(init_adc(h, 0), 0);
    EXPECT_EQ(init_adc(h, 1), 0);
    EXPECT_NEAR(read_adc(h, 0, 2) * 2.5 / 1024 * 2, 3.3, 0.01); // adapter supply, halved
    EXPECT_EQ(read_adc(h, 1, 0), 0);                            // Buck0 is off
    EXPECT_EQ(read_adc(h, 2, 0), -2);
}

TEST_F(Api, BootloaderReplacement) {
    ASSERT_EQ(return_to_bootloader(h), 0);
    std::vector<uint8_t> boot(16384); // magic, version 0.2.1, 63 pages and 248 bytes
    const uint8_t header[] = {0x07, 0x06, 0x05, 0x04, 0x01, 0x02, 0x00, 0x00};
    std::memcpy(boot.data(), header, sizeof header);
    for (size_t i = 8; i < boot.size(); ++i)
        boot[i] = static_cast<uint8_t>(i * 13 + 5);
    EXPECT_EQ(update_bootloader(h, boot.data()), 0);
    EXPECT_EQ(get_bootloader_version(h, nullptr), 0x000201);
    for (const uint32_t at : {1000u, 16384u - 64}) { // a block inside, and the last
        uint8_t mem[64];
        EXPECT_EQ(read_m(h, at, mem), 0);
        EXPECT_EQ(std::memcmp(mem, &boot[at], 64), 0) << at;
    }
}

// An adapter present but not to be had (held by another program and
// unplugging: DeviceSession): the open link stays, the reason is told.
TEST_F(Api, RefusedOpenSaysWhyAndKeepsTheOpenLink) {
    kit("deny on");
    EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
    char why[256];
    EXPECT_EQ(last_open_result(why, sizeof why), -1) << why;
    EXPECT_NE(std::string(why).find("permission"), std::string::npos) << why;
    uint32_t word;
    EXPECT_EQ(read_pin(h, 0, &word), 0);
}

// Slow and lost exchanges (a NACK and the exchange log: DeviceSession; a
// refused command: the firmware check).
TEST_F(Api, LatencyAndLoss) {
    ASSERT_EQ(pin_set(h, 0, 22, 1), 0);
    kit("latency 300");
    EXPECT_EQ(reg_read(0x18), 0x84); // slow but in time
    kit("latency 1500");
    EXPECT_EQ(reg_read(0x18), -1); // the library gives up after a second
    kit("latency 0");
    h = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID); // as the program reconnects
    kit("lose 1");
    EXPECT_EQ(reg_read(0x18), -1);
    EXPECT_EQ(reg_read(0x18), 0x84);
}

// A mode switch that makes the adapter leave the bus and come back under a
// new node: the library follows it behind the same handle, within its bound.
TEST_F(Api, ModeSwitchesFollowAnAdapterThatReenumerates) {
    struct Row {
        std::vector<std::string> faults;
        bool back; // the adapter is listed again within the library's wait
    };
    const Row rows[] = {
        {{"reenumerate 100"}, true},           // it leaves after its reply
        {{"reenumerate 100", "lose 1"}, true}, // it leaves before its reply arrives
        {{"reenumerate 5000"}, false},
    };
    for (const Row &row : rows) {
        std::string name;
        for (const std::string &f : row.faults)
            name += f + "; ";
        SCOPED_TRACE(name);
        kit("reset");
        kit("clock real"); // the adapter comes back in real time while the library waits
        h = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(h, BRIDGEIO_INVALID_HANDLE);
        for (const std::string &f : row.faults)
            kit(f);
        char why[256] = {};
        const auto start = std::chrono::steady_clock::now();
        if (!row.back) {
            EXPECT_EQ(return_to_bootloader(h), -1);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
            EXPECT_EQ(last_open_result(why, sizeof why), 0) << why;
            EXPECT_NE(std::string(why).find("did not come back"), std::string::npos) << why;
            continue;
        }
        EXPECT_EQ(return_to_bootloader(h), 0);
        EXPECT_EQ(get_bootloader_version(h, nullptr), 0x010004);
        EXPECT_EQ(start_firmware(h), 0);
        EXPECT_EQ(get_firmware_version(h, nullptr), 0x010200);
        EXPECT_EQ(last_open_result(why, sizeof why), 1);
        EXPECT_NE(std::string(why).find("reopened virtual-kit-2 "), std::string::npos) << why;
    }
}

} // namespace
