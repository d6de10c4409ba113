// Tests through the adapter library's public interface against the virtual
// kit, from its power-on state on the manual clock.
#pragma once

#include "bridgeio.h"
#include "kit_control.h"

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

    BridgeHandle h = BRIDGEIO_INVALID_HANDLE;
};

} // namespace kit_test
