// The status script stored and run through the library, its result block
// read the way the program reads it.
#include "api_fixture.h"

#include <string>

namespace {

using namespace kit_test;

TEST_F(Api, WithoutVioSysTheScriptFailsAndTheSensorIsAbsent) {
    start_like_the_program();
    StatusBlock s;
    EXPECT_EQ(poll(&s), -4);
    EXPECT_EQ(s.pin(1), 0); // VIOSYS low
    EXPECT_EQ(s.pin(0), 1); // the interrupt line is pulled up
    EXPECT_EQ(sw_i2c_set_pins(h, 1, 18, 1, 19, 2), 0);
    uint8_t t[2];
    EXPECT_EQ(sw_i2c_read(h, 2, 0x00, 1, 0x48, t, 0, 0), -4); // the sensor probe fails
}

TEST_F(Api, BoardTemperatureIncludingNegative) {
    start_like_the_program();
    ctl("pin 0 22 1");
    for (double celsius : {25.0, -12.5, -0.0625, 0.0, 85.25, -40.0}) {
        ctl("boardtemp " + std::to_string(celsius));
        EXPECT_DOUBLE_EQ(poll_ok().board_celsius(), celsius);
    }
}

TEST_F(Api, AddressSelectAndSpeedBytesOfTheScript) {
    start_like_the_program();
    ctl("pin 0 25 1");
    ctl("pin 0 22 1");
    StatusBlock s;
    EXPECT_EQ(poll(&s), -4); // the chip came up at 0x61
    auto script = rx5120::kStatusScriptImage;
    script[rx5120::script::kAddress] = script[rx5120::script::kLastAddress] = 0x61;
    script[rx5120::script::kSpeed] = script[rx5120::script::kLastSpeed] = 3;
    ASSERT_EQ(load_script(h, script.data(), 0, script.size()), 0);
    s = poll_ok();
    EXPECT_EQ(s.pin(4), 1);
    EXPECT_EQ(reg_read(0x18, 0x61), 0x84);
    EXPECT_EQ(reg_read(0x18, 0x60), -4);
}

TEST_F(Api, SwResetRestoresDefaultsWhileTheBucksRegulate) {
    start_like_the_program();
    ctl("pin 0 22 1");
    ctl("pin 0 24 1");
    ctl("pin 0 23 1");
    ctl("advance 200");
    EXPECT_EQ(reg_write(0x12, 0x77), 1);
    EXPECT_EQ(reg_write(0x06, 0x3F), 1);
    EXPECT_EQ(poll_ok().mode(5), "PWM");
    EXPECT_EQ(reg_write(0x11, 0x01), 1);
    EXPECT_EQ(reg_read(0x12), 0x0a);
    EXPECT_EQ(reg_read(0x06), 0x00);
    const StatusBlock s = poll_ok();
    EXPECT_EQ(s.mode(5), "PFM"); // no soft start: it kept regulating
    EXPECT_EQ(s.mode(0), "PWM");
}

TEST_F(Api, VioSysFallTakesTheRegistersAlong) {
    start_like_the_program();
    ASSERT_EQ(pin_set(h, 0, 22, 1), 0);
    EXPECT_EQ(reg_write(0x17, 0x42), 1);
    EXPECT_EQ(reg_read(0x17), 0x42);
    ASSERT_EQ(pin_set(h, 0, 22, 0), 0);
    EXPECT_EQ(reg_read(0x17), -4);
    ASSERT_EQ(pin_set(h, 0, 22, 1), 0);
    EXPECT_EQ(reg_read(0x17), 0x05);
}

} // namespace
