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

TEST_F(Api, PowerUpSequenceShowsInTheModes) {
    start_like_the_program();
    ASSERT_EQ(pin_set(h, 0, 22, 1), 0);
    StatusBlock s = poll_ok();
    EXPECT_EQ(s.pin(1), 1);
    for (int b = 0; b < 6; ++b)
        EXPECT_EQ(s.mode(b), "Disabled");
    EXPECT_EQ(s.adc(0x13), 0u); // Buck0 output

    ASSERT_EQ(pin_set(h, 0, 24, 1), 0); // awake
    ASSERT_EQ(pin_set(h, 0, 23, 1), 0); // NRST: the sequence starts
    ctl("advance 60");
    s = poll_ok();
    EXPECT_EQ(s.pin(2), 1);
    EXPECT_EQ(s.mode(0), "Soft Start-Up");
    EXPECT_EQ(s.mode(3), "Soft Start-Up");
    EXPECT_EQ(s.mode(5), "PFM"); // 50 ms of soft start, 100 mA
    EXPECT_NEAR(s.adc(0x15) * 2.5 / 1024, 1.2, 0.005);

    ctl("advance 100");
    s = poll_ok();
    EXPECT_EQ(s.mode(0), "PWM");
    EXPECT_EQ(s.multiphase(0), "Master; 2/3 Phases Active"); // 800 mA
    EXPECT_EQ(s.multiphase(1), "Slave to Buck0");
    EXPECT_EQ(s.multiphase(5), "Single");
    EXPECT_NEAR(s.adc(0x13) * 2.5 / 1024, 1.0, 0.005);

    ASSERT_EQ(pin_set(h, 0, 24, 0), 0); // NSLP low with SLP_POL 0
    s = poll_ok();
    for (int b : {0, 3, 5})
        EXPECT_EQ(s.mode(b), "Sleeping");
    ASSERT_EQ(pin_set(h, 0, 23, 0), 0);
    s = poll_ok();
    for (int b = 0; b < 6; ++b)
        EXPECT_EQ(s.mode(b), "Disabled");
}

TEST_F(Api, EcoAndForcedPwmReachTheModes) {
    start_like_the_program();
    ctl("pin 0 22 1");
    ctl("pin 0 24 1");
    ctl("pin 0 23 1");
    ctl("advance 200");
    EXPECT_EQ(poll_ok().mode(5), "PFM");
    EXPECT_EQ(reg_write(0x0C, 0xD4 | 0x20), 1); // LP_B5
    EXPECT_EQ(poll_ok().mode(5), "ECO");
    EXPECT_EQ(reg_write(0x06, 0x20), 1); // FPWM_B5
    EXPECT_EQ(poll_ok().mode(5), "PWM");
}

TEST_F(Api, MultiphaseConfigurationsDecodeAsTheProgramReadsThem) {
    start_like_the_program();
    ctl("pin 0 22 1");
    ctl("pin 0 24 1");
    ctl("pin 0 23 1");
    for (int b = 0; b < 6; ++b)
        ctl("load " + std::to_string(b) + " 1000");
    struct Case {
        int config;
        const char *texts[6];
    };
    const Case cases[] = {
        {7,
         {"Master; 3/3 Phases Active", "Slave to Buck0", "Slave to Buck0",
          "Master; 3/3 Phases Active", "Slave to Buck3", "Slave to Buck3"}},
        {9,
         {"Master; 4/4 Phases Active", "Slave to Buck0", "Slave to Buck0",
          "Master; 2/2 Phases Active", "Slave to Buck3", "Slave to Buck0"}},
        {6,
         {"Master; 6/6 Phases Active", "Slave to Buck0", "Slave to Buck0", "Slave to Buck0",
          "Slave to Buck0", "Slave to Buck0"}},
        {1, {"Single", "Single", "Single", "Single", "Single", "Single"}},
        {12,
         {"Master; 3/3 Phases Active", "Slave to Buck0", "Slave to Buck0",
          "Master; 2/2 Phases Active", "Slave to Buck3", "Single"}},
    };
    for (const auto &c : cases) {
        ctl("multiphase " + std::to_string(c.config));
        ctl("advance 200");
        const StatusBlock s = poll_ok();
        EXPECT_EQ(s.b[0x0D] & 0x0F, c.config);
        for (int b = 0; b < 6; ++b)
            EXPECT_EQ(s.multiphase(b), c.texts[b]) << "configuration " << c.config << " buck " << b;
    }
}

TEST_F(Api, LoadCurrentFollowsTheSelectedSource) {
    start_like_the_program();
    ctl("pin 0 22 1");
    ctl("pin 0 24 1");
    ctl("pin 0 23 1");
    ctl("multiphase 1");
    ctl("load 2 2345");
    ctl("advance 200");
    ASSERT_EQ(reg_write(0x21, 2), 1);
    ctl("advance 5");
    StatusBlock s = poll_ok();
    EXPECT_EQ(s.current_source(), 2);
    EXPECT_NEAR(s.current_ma(), 2345, 15);
    EXPECT_TRUE(s.b[0x10] & 0x20); // I_LOAD_READY
    ctl("load 2 2800");
    s = poll_ok(); // above 2550 mA: the high bits in 0x21 carry it
    EXPECT_NEAR(s.current_ma(), 2800, 15);
    ASSERT_EQ(reg_write(0x21, 6), 1);
    s = poll_ok();
    EXPECT_EQ(s.current_source(), 6);
    EXPECT_NEAR(s.current_ma(), 800 + 2800 + 400 + 100, 15);
}

TEST_F(Api, FlagsAndTheInterruptPinInTheBlock) {
    start_like_the_program();
    ctl("pin 0 22 1");
    StatusBlock s = poll_ok();
    EXPECT_EQ(s.pin(0), 1);
    ctl("flag OVP on");
    ctl("flag NPG_B1 on");
    ctl("dietemp 2");
    s = poll_ok();
    EXPECT_EQ(s.b[0x10], 0x02);
    EXPECT_EQ(s.b[0x0F], 0x08 | 2);
    EXPECT_EQ(s.pin(0), 0);
    ctl("flag OVP off");
    EXPECT_EQ(reg_write(0x0E, 0x00), 1);
    EXPECT_EQ(reg_write(0x0F, 0x08), 1); // MASK_NPG_B1
    EXPECT_EQ(reg_write(0x2E, 0x01), 1); // MASK_TEMP
    s = poll_ok();
    EXPECT_EQ(s.b[0x10], 0x00);
    EXPECT_EQ(s.pin(0), 1);
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
    uint8_t script[sizeof kStatusScript];
    std::copy(std::begin(kStatusScript), std::end(kStatusScript), script);
    script[1] = script[163] = 0x61;
    script[2] = script[164] = 3;
    ASSERT_EQ(load_script(h, script, 0, sizeof script), 0);
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
