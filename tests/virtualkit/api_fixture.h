// Tests through the adapter library's public interface against the virtual
// kit, from its power-on state on the manual clock.
#pragma once

#include "bridgeio.h"
#include "kit_control.h"
#include "chip/status_script.h"

#include <gtest/gtest.h>

#include <string>

namespace kit_test {

class Api : public ::testing::Test {
  protected:
    void SetUp() override {
        ctl("reset");
        ctl("clock manual");
        h = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(h, BRIDGEIO_INVALID_HANDLE);
    }

    // A control line that must succeed; its answer.
    static std::string ctl(const std::string &line) {
        char reply[8192];
        EXPECT_EQ(kit_control(line.c_str(), reply, sizeof reply), 0) << line << ": " << reply;
        return reply;
    }

    // One chip register as the program reads it: the byte, or the library's
    // failure code.
    int reg_read(uint8_t reg, int dev = 0x60) {
        uint8_t b = 0;
        const int r = sw_i2c_read(h, 1, reg, 1, dev, &b, 0, 0);
        return r == 1 ? b : r;
    }

    // What the program does once the adapter is open.
    void start_like_the_program() {
        EXPECT_EQ(return_to_bootloader(h), 0);
        EXPECT_EQ(start_firmware(h), 0);
        EXPECT_EQ(load_script(h, rx5120::kStatusScriptImage.data(), 0, rx5120::kStatusScriptImage.size()), 0);
        for (int pin : {3, 15, 22, 23, 24})
            EXPECT_EQ(pin_config(h, 0, pin, 0, 0, 1, 0), 0);
        EXPECT_EQ(pin_config(h, 0, 18, 0, 0, 0, 1), 0);
        EXPECT_EQ(pin_config(h, 0, 25, 0, 0, 0, 0), 0);
        EXPECT_EQ(pin_set(h, 0, 3, 1), 0);
        EXPECT_EQ(pin_set(h, 0, 15, 1), 0);
        EXPECT_EQ(sw_i2c_set_pins(h, 0, 1, 0, 5, 2), 0);
        EXPECT_EQ(init_adc(h, 0), 0);
        EXPECT_EQ(init_adc(h, 1), 0);
    }

    BridgeHandle h = BRIDGEIO_INVALID_HANDLE;
};

} // namespace kit_test
