// The device layer's bookkeeping that needs no adapter: the outcome of a
// status script run, the pin levels it leaves, and every operation without an
// adapter handle.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <string>

#include "malformed_lines.h"
#include "recording_host.h"
#include "registers/device_access.h"
#include "registers/register_table.h"

namespace evalpanel {
namespace {

using test::kMalformedFieldLines;
using test::RecordingHost;
using test::TraceCapture;

class DeviceLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_device();
        device().host = &host;
    }
    void TearDown() override { reset_device(); }

    std::array<uint8_t, kStatusResultSize> block_with(uint8_t fill) {
        std::array<uint8_t, kStatusResultSize> b{};
        b.fill(fill);
        return b;
    }

    RecordingHost host;
};

TEST_F(DeviceLayer, InitialValues) {
    const DeviceState &s = device();
    EXPECT_EQ(s.handle, BRIDGEIO_INVALID_HANDLE);
    EXPECT_EQ(s.device_address, 0x60);
    EXPECT_EQ(s.bus_selection, 0);
    EXPECT_EQ(s.speed_a, 0);
    EXPECT_EQ(s.speed_b, 0);
    EXPECT_EQ(s.connection_state, kNotConnected);
    EXPECT_FALSE(s.polling_enabled);
    EXPECT_FALSE(s.board_sensor_present);
    EXPECT_TRUE(s.echo);
    EXPECT_EQ(s.register_cache, (std::array<uint8_t, 256>{}));
    EXPECT_EQ(s.status_script, kStatusScriptImage);
}

TEST_F(DeviceLayer, GoodRunKeepsBlockAndCopiesFlagRegisters) {
    auto block = block_with(0);
    block[0x0F] = 0xA5; // R_FLAGS_0
    block[0x10] = 0x3C; // R_FLAGS_1
    block[0x1B] = 1;    // A22
    device().register_cache[0x0C] = 0x77;
    apply_status_result(0, block.data());
    EXPECT_EQ(device().connection_state, kConnected);
    EXPECT_EQ(device().status_result, block);
    EXPECT_EQ(device().register_cache[0x0D], 0xA5);
    EXPECT_EQ(device().register_cache[0x0E], 0x3C);
    EXPECT_EQ(device().register_cache[0x0C], 0x77);
    EXPECT_TRUE(host.log.isEmpty());
    EXPECT_TRUE(host.timers_untouched());
}

struct FailedRun {
    int result;
    bool sensor;
    int state_after; // starting from kConnected
    bool nack_logged;
    bool lost;
};

void PrintTo(const FailedRun &c, std::ostream *os) {
    *os << "result " << c.result << (c.sensor ? " with sensor" : " without sensor");
}

class FailedStatusRun : public DeviceLayer, public ::testing::WithParamInterface<FailedRun> {};

TEST_P(FailedStatusRun, ClassifiesAndKeepsThePreviousBlock) {
    const FailedRun &c = GetParam();
    TraceCapture trace;
    const auto previous = block_with(0x11);
    apply_status_result(0, previous.data());
    device().board_sensor_present = c.sensor;
    device().polling_enabled = true;
    const auto fresh = block_with(0x22);
    apply_status_result(c.result, fresh.data());

    EXPECT_EQ(device().status_result, previous);
    EXPECT_EQ(device().connection_state, c.state_after);
    EXPECT_EQ(host.log.contains("NACK"), c.nack_logged);
    EXPECT_EQ(host.poll_timer_stops, c.lost ? 1 : 0);
    EXPECT_EQ(host.reconnect_starts, c.lost ? std::vector<int>{500} : std::vector<int>{});
    EXPECT_EQ(device().polling_enabled, !c.lost);
    EXPECT_TRUE(trace.contains(QString::asprintf("read failed, retval = 0x%08x", c.result)));
}

INSTANTIATE_TEST_SUITE_P(Results, FailedStatusRun,
                         ::testing::Values(FailedRun{-1, true, kNotConnected, false, true},
                                           FailedRun{-1, false, kNotConnected, false, true},
                                           FailedRun{-4, true, kNotAcknowledged, true, false},
                                           FailedRun{-4, false, kConnected, false, false}));

TEST_F(DeviceLayer, PinLevelComesFromTheLastPollWhileConnected) {
    auto block = block_with(0);
    const int polled[] = {18, 22, 23, 24, 25};
    for (int i = 0; i < 5; ++i)
        block[0x1A + i] = static_cast<uint8_t>(i % 2 == 0); // 18, 23, 25 high
    apply_status_result(0, block.data());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(pin_level(0, polled[i]), i % 2 == 0 ? 1 : 0) << "pin " << polled[i];
    // Other pins are read live, which needs the adapter.
    EXPECT_EQ(pin_level(0, 3), -1);
    EXPECT_EQ(pin_level(1, 18), -1);
    device().connection_state = kNotConnected;
    EXPECT_EQ(pin_level(0, 18), 0);
}

// Without an adapter handle nothing is classified and no state changes, but
// trace and echo lines are written as usual.
TEST_F(DeviceLayer, WithoutAdapterEveryOperationFails) {
    TraceCapture trace;
    device().connection_state = kNotAcknowledged;
    char line[kLineSize];

    EXPECT_EQ(register_read(0x00), -1);
    EXPECT_EQ(register_write(0x06, 0x05), -1);
    EXPECT_TRUE(trace.contains("register write(), address = 0x06,data = 0x05"));
    uint8_t buffer[256];
    EXPECT_EQ(read_registers(0, 256, buffer), -1);
    EXPECT_EQ(switch_page(3), -1);
    EXPECT_TRUE(trace.contains("switch to page 3"));
    EXPECT_EQ(set_access_mode(1), -1);
    EXPECT_EQ(read_pin_level(0, 18), -1);
    EXPECT_EQ(write_pin(0, 22, 1), -1);
    EXPECT_TRUE(trace.contains("set pin 0.22 to 1"));
    EXPECT_EQ(host.status_polls, 0);
    EXPECT_EQ(select_i2c_bus(1), -1);

    ASSERT_EQ(find_reg_by_name("VSET_B0", line, sizeof line), 36);
    EXPECT_EQ(get_reg_value(line), -1);
    EXPECT_EQ(set_reg_value(line, 5), -1);
    // A whole-register write that never reached the chip is no success.
    ASSERT_EQ(make_numeric_access("0x12", line, sizeof line), 1);
    EXPECT_EQ(set_reg_value(line, 0xAA), -1);

    set_i2c_address(0x61);
    EXPECT_EQ(device().device_address, 0x61);
    EXPECT_EQ(host.selector, 1);

    EXPECT_EQ(host.log, (QStringList{"advanced", "i2c_bus(vt)", "i2c_addr(0x61)"}));
    EXPECT_EQ(device().connection_state, kNotAcknowledged);
    EXPECT_TRUE(host.timers_untouched());
    EXPECT_EQ(device().register_cache, (std::array<uint8_t, 256>{}));
}

// Lines that no table or numeric form produces are refused before any
// register is touched.
TEST_F(DeviceLayer, MalformedLinesAreRefused) {
    device().connection_state = kConnected;
    for (const char *line : kMalformedFieldLines) {
        EXPECT_EQ(get_reg_value(line), -1) << line;
        EXPECT_EQ(set_reg_value(line, 0), -1) << line;
    }
    const std::string long_name(64, 'N');
    const std::string long_hwreg = "hwreg(" + long_name + ", 0x00 _PAGE(0));";
    const std::string long_lreg = "lreg(" + long_name + ", (RW, \"0x00[6:0]@0\"));";
    EXPECT_EQ(get_reg_value(long_hwreg.c_str()), -1);
    EXPECT_EQ(set_reg_value(long_hwreg.c_str(), 1), -1);
    EXPECT_EQ(get_reg_value(long_lreg.c_str()), -1);
    EXPECT_EQ(device().connection_state, kConnected);
    EXPECT_EQ(device().register_cache, (std::array<uint8_t, 256>{}));
}

TEST_F(DeviceLayer, EchoLinesFollowTheEchoFlagAndTheLog) {
    device().echo = false;
    set_access_mode(2);
    select_i2c_bus(0);
    set_i2c_address(0x60); // logged whatever the echo flag
    EXPECT_EQ(host.log, QStringList{"i2c_addr(0x60)"});

    device().echo = true;
    host.log_exists = false;
    set_access_mode(2);
    set_i2c_address(0x60);
    EXPECT_TRUE(host.log.size() == 1);
    EXPECT_EQ(set_access_mode(-1), -1);
}

TEST_F(DeviceLayer, ScriptPatchesWithoutAdapter) {
    set_i2c_address(0x2C);
    set_bus_speed(2);
    select_i2c_bus(1);
    const auto &script = device().status_script;
    EXPECT_EQ(script[1], 0x2C);
    EXPECT_EQ(script[163], 0x2C);
    EXPECT_EQ(script[2], 3);
    EXPECT_EQ(script[164], 3);
    EXPECT_EQ((std::array<uint8_t, 4>{script[157], script[158], script[159], script[160]}),
              (std::array<uint8_t, 4>{0, 2, 0, 4}));
    EXPECT_EQ(host.selector, -1);
    // Everything else is the image as it was.
    auto expected = kStatusScriptImage;
    for (std::size_t at : {1, 163})
        expected[at] = 0x2C;
    for (std::size_t at : {2, 164})
        expected[at] = 3;
    expected[158] = 2;
    expected[160] = 4;
    EXPECT_EQ(script, expected);

    // An index outside 0..2 keeps the speed bytes.
    set_bus_speed(1);
    set_bus_speed(7);
    EXPECT_EQ(device().speed_a, 1);
    EXPECT_EQ(device().speed_b, 0);
    EXPECT_EQ(script[2], 1);
    EXPECT_EQ(select_i2c_bus(2), -1);
    EXPECT_EQ(script[158], 2);
}

TEST_F(DeviceLayer, ProbeWithoutAdapterRestoresBusAndAddress) {
    device().board_sensor_present = true;
    device().bus_selection = 1;
    host.selector = 2;
    probe_board_sensor();
    EXPECT_FALSE(device().board_sensor_present);
    EXPECT_EQ(device().device_address, 0x62);
    EXPECT_EQ(host.log, (QStringList{"i2c_bus(vt)", "i2c_addr(0x62)"}));

    // With no selector item the current address stays.
    set_i2c_address(0x2C);
    probe_board_sensor();
    EXPECT_EQ(device().device_address, 0x2C);
}

TEST_F(DeviceLayer, StatusRunWithoutAdapterStopsPolling) {
    device().polling_enabled = true;
    EXPECT_EQ(run_status_script(), -1);
    EXPECT_EQ(device().connection_state, kNotConnected);
    EXPECT_FALSE(device().polling_enabled);
    EXPECT_EQ(host.poll_timer_stops, 1);
}

} // namespace
} // namespace evalpanel
