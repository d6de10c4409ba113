// The device layer and the field reads and writes against the virtual kit,
// through the real adapter library; the kit's exchange log shows the traffic.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "kit_log.h"
#include "malformed_lines.h"
#include "recording_host.h"
#include "registers/device_access.h"
#include "registers/register_table.h"

namespace evalpanel {
namespace {

using test::Exchange;

constexpr uint8_t kI2cWrite = 0xA8, kI2cRead = 0xA9, kSetPins = 0xCA, kPinSet = 0xA1,
                  kScript = 0xC2;

// One register transfer: 'r' with the byte the chip answered, 'w' with the
// byte written.
struct Transfer {
    char kind;
    int reg;
    int data;
    bool operator==(const Transfer &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Transfer &t) {
    char text[16];
    std::snprintf(text, sizeof text, "%c %02x=%02x", t.kind, t.reg, t.data);
    return os << text;
}

std::vector<Transfer> transfers(const std::vector<Exchange> &log) {
    std::vector<Transfer> out;
    for (const Exchange &e : log) {
        if (e.request[0] == kI2cWrite)
            out.push_back({'w', e.request[5], e.request[12]});
        else if (e.request[0] == kI2cRead)
            out.push_back({'r', e.request[5], e.reply[4]});
    }
    return out;
}

class Device : public ::testing::Test {
  protected:
    void SetUp() override {
        // A manual clock keeps the chip where each test puts it.
        ASSERT_TRUE(kit("reset"));
        ASSERT_TRUE(kit("clock manual"));
        reset_device();
        device().host = &host;
        device().handle = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(device().handle, BRIDGEIO_INVALID_HANDLE);
        start_firmware(device().handle);
        // The chip answers only while VIOSYS (A22) is high.
        ASSERT_EQ(pin_set(device().handle, 0, 22, 1), 0);
        ASSERT_EQ(select_i2c_bus(0), 0);
        host.log.clear();
        log.start();
    }
    void TearDown() override {
        kit("log off");
        kit("clock real");
        if (device().handle != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(device().handle);
        reset_device();
    }
    static bool kit(const char *line) {
        char reply[1024];
        const bool ok = kit_control(line, reply, sizeof reply) == 0;
        EXPECT_TRUE(ok) << line << ": " << reply;
        return ok;
    }
    static std::string line_of(const char *text) {
        char line[kLineSize] = {};
        if (find_reg_by_name(text, line, sizeof line) < 0) {
            EXPECT_EQ(make_numeric_access(text, line, sizeof line), 1) << text;
        }
        return line;
    }

    test::RecordingHost host;
    test::KitLog log;
};

TEST_F(Device, MultiSegmentFieldIsReadLastSegmentFirst) {
    // Buck0 regulating under a load above 2.55 A, so that both segments
    // carry bits: NRST high, then past its start-up delay.
    ASSERT_TRUE(kit("load 0 12000"));
    ASSERT_EQ(pin_set(device().handle, 0, 23, 1), 0);
    ASSERT_TRUE(kit("advance 1000"));
    log.take();
    const int64_t value = get_reg_value(line_of("BUCK_LOAD_CURR").c_str());
    const auto seen = transfers(log.take());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reg, 0x22);
    EXPECT_EQ(seen[1].reg, 0x21);
    EXPECT_EQ(value, (((seen[1].data & 0x7F) >> 4) << 8) | seen[0].data);
    EXPECT_GT(value, 0xFF); // the high segment did contribute
}

TEST_F(Device, MultiSegmentFieldWriteKeepsOtherBitsAsRead) {
    ASSERT_TRUE(kit("reg 0 21 3")); // a load-current source in bits 2..0
    EXPECT_EQ(set_reg_value(line_of("BUCK_LOAD_CURR").c_str(), 0x5A5), 1);
    const auto seen = transfers(log.take());
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].reg, 0x22);
    EXPECT_EQ(seen[1], (Transfer{'w', 0x22, 0xA5}));
    EXPECT_EQ(seen[2].reg, 0x21);
    EXPECT_EQ(seen[3], (Transfer{'w', 0x21, (seen[2].data & 0x8F) | 0x50}));
    EXPECT_EQ(seen[3].data & 0x07, 3);
    EXPECT_EQ(device().register_cache[0x21], seen[3].data);
}

TEST_F(Device, FieldWriteMergesIntoTheChipByteAndCachesIt) {
    ASSERT_TRUE(kit("reg 0 6 21"));
    device().register_cache[0x06] = 0x00; // stale: must not be merged into
    EXPECT_EQ(set_reg_value(line_of("FPWM_B3").c_str(), 1), 1);
    EXPECT_EQ(transfers(log.take()), (std::vector<Transfer>{{'r', 6, 0x21}, {'w', 6, 0x29}}));
    EXPECT_EQ(device().register_cache[0x06], 0x29);
}

TEST_F(Device, WholeRegisterWriteLeavesTheCache) {
    device().register_cache[0x06] = 0x77;
    for (const char *name : {"R_FPWM", "0x06"}) {
        EXPECT_EQ(set_reg_value(line_of(name).c_str(), 0x105), 1);
        EXPECT_EQ(transfers(log.take()), (std::vector<Transfer>{{'w', 6, 0x05}})) << name;
    }
    EXPECT_EQ(device().register_cache[0x06], 0x77);
    EXPECT_EQ(get_reg_value(line_of("0x06[2:0]").c_str()), 5);
}

TEST_F(Device, MalformedLinesCauseNoTraffic) {
    for (const char *line : test::kMalformedFieldLines) {
        EXPECT_EQ(get_reg_value(line), -1) << line;
        EXPECT_EQ(set_reg_value(line, 0), -1) << line;
    }
    const std::string long_hwreg = "hwreg(" + std::string(64, 'N') + ", 0x00 _PAGE(0));";
    EXPECT_EQ(set_reg_value(long_hwreg.c_str(), 1), -1);
    EXPECT_TRUE(log.take().empty());
}

// Each transfer kind with the chip silent and with the adapter gone.
struct Failure {
    const char *fault;
    const char *operation;
    int result;
    bool lost;
    bool nack; // "NACK" logged, ConnectionState 2
};

void PrintTo(const Failure &f, std::ostream *os) {
    *os << f.operation << " / " << f.fault;
}

class DeviceFailure : public Device, public ::testing::WithParamInterface<Failure> {};

TEST_P(DeviceFailure, IsClassified) {
    const Failure &f = GetParam();
    const std::string op = f.operation;
    test::TraceCapture trace;
    device().polling_enabled = true;
    device().connection_state = kConnected;
    device().board_sensor_present = op != "status run without sensor";
    ASSERT_TRUE(kit(f.fault));
    uint8_t buffer[16];
    int result = 0;
    if (op == "register_read")
        result = register_read(0x00);
    else if (op == "register_write")
        result = register_write(0x00, 0x12);
    else if (op == "read_registers")
        result = read_registers(0x00, sizeof buffer, buffer);
    else
        result = run_status_script();
    EXPECT_EQ(result, f.result);
    EXPECT_TRUE(
        trace.contains(QString::asprintf("read failed, retval = 0x%08x", f.lost ? -1 : -4)));
    EXPECT_EQ(host.log, f.nack ? QStringList{"NACK"} : QStringList{});
    const int state = f.lost ? kNotConnected : f.nack ? kNotAcknowledged : kConnected;
    EXPECT_EQ(device().connection_state, state);
    EXPECT_EQ(host.poll_timer_stops, f.lost ? 1 : 0);
    EXPECT_EQ(host.reconnect_starts, f.lost ? std::vector<int>{500} : std::vector<int>{});
    EXPECT_EQ(device().polling_enabled, !f.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceFailure,
    ::testing::Values(Failure{"nack on", "register_read", -1, false, true},
                      Failure{"nack on", "register_write", 0, false, true},
                      Failure{"nack on", "read_registers", -1, false, true},
                      Failure{"nack on", "status run with sensor", -4, false, true},
                      Failure{"nack on", "status run without sensor", -4, false, false},
                      Failure{"unplug", "register_read", -1, true, false},
                      Failure{"unplug", "register_write", 0, true, false},
                      Failure{"unplug", "read_registers", -1, true, false},
                      Failure{"unplug", "status run with sensor", -1, true, false}));

TEST_F(Device, StatusRunKeepsItsBlockAndTheFlagRegisters) {
    ASSERT_EQ(run_status_script(), 0);
    const auto block = device().status_result;
    EXPECT_EQ(block[0x1B], 1); // A22
    EXPECT_EQ(device().register_cache[0x0D], block[0x0F]);
    EXPECT_EQ(device().register_cache[0x0E], block[0x10]);
    EXPECT_EQ(pin_level(0, 22), 1);
    ASSERT_TRUE(kit("nack on"));
    device().board_sensor_present = true;
    run_status_script();
    EXPECT_EQ(device().status_result, block); // a failed run keeps the last block
}

TEST_F(Device, AccessLevelsWriteTheKeyPrefixBetweenPageSwitches) {
    ASSERT_EQ(switch_page(3), 1);
    for (int level : {0, 2, 4, 9}) {
        log.take();
        host.log.clear();
        const int applied = level < 4 ? level : 4;
        EXPECT_EQ(set_access_mode(level), applied);
        std::vector<Transfer> expected = {{'r', 0xFF, 3}, {'w', 0xFF, 0}, {'w', 0xDD, 0}};
        for (int i = 0; applied >= 1 && i <= applied; ++i)
            expected.push_back({'w', 0xDD, rx5120::kModeKey[i]});
        expected.push_back({'w', 0xFF, 3});
        EXPECT_EQ(transfers(log.take()), expected) << "level " << level;
        EXPECT_EQ(host.log, QStringList{kAccessLevelNames[applied]});
    }
    // A chip that does not answer the page read gets no write at all.
    ASSERT_TRUE(kit("nack on"));
    log.take();
    EXPECT_EQ(set_access_mode(2), -1);
    EXPECT_EQ(transfers(log.take()).size(), 1u);
}

TEST_F(Device, PagesAboveSixSelectPageZero) {
    test::TraceCapture trace;
    ASSERT_EQ(switch_page(4), 1);
    EXPECT_EQ(switch_page(9), 1);
    EXPECT_TRUE(trace.contains("switch to page 0"));
    EXPECT_EQ(transfers(log.take()), (std::vector<Transfer>{{'w', 0xFF, 4}, {'w', 0xFF, 0}}));
    EXPECT_EQ(register_read(0xFF), 0);
}

// The script chunks as the kit received them, reassembled.
std::vector<uint8_t> loaded_script(const std::vector<Exchange> &log) {
    std::vector<uint8_t> script(kStatusScriptSize);
    for (const Exchange &e : log) {
        if (e.request[0] != kScript || e.request[8] != 0xFE)
            continue;
        const std::size_t offset = e.request[4] | (e.request[5] << 8);
        const std::size_t n = e.request[9] | (e.request[10] << 8);
        for (std::size_t i = 0; i < n && offset + i < script.size(); ++i)
            script[offset + i] = e.request[11 + i];
    }
    return script;
}

TEST_F(Device, NewAddressMovesAllTrafficAndTheScript) {
    set_i2c_address(0x2C);
    const auto script = loaded_script(log.take());
    EXPECT_EQ(script[1], 0x2C);
    EXPECT_EQ(script[163], 0x2C);
    EXPECT_EQ(std::vector<uint8_t>(device().status_script.begin(), device().status_script.end()),
              script);
    EXPECT_EQ(host.log, QStringList{"i2c_addr(0x2c)"});
    EXPECT_EQ(host.selector, -1);

    uint8_t buffer[4];
    register_read(0x00);
    register_write(0x00, 0x01);
    read_registers(0x00, sizeof buffer, buffer);
    const auto seen = log.take();
    ASSERT_EQ(seen.size(), 3u);
    for (const Exchange &e : seen)
        EXPECT_EQ(e.request[7], 0x2C);
    EXPECT_EQ(device().connection_state, kNotAcknowledged); // nothing answers there

    set_i2c_address(0x61);
    EXPECT_EQ(host.selector, 1);
}

TEST_F(Device, HighSpeedSetsSpeedBytesAndScriptCode) {
    set_bus_speed(2);
    const auto script = loaded_script(log.take());
    EXPECT_EQ(script[2], 3);
    EXPECT_EQ(script[164], 3);
    uint8_t buffer[2];
    ASSERT_GE(register_read(0x00), 0);
    ASSERT_EQ(register_write(0x19, 0x33), 1);
    ASSERT_EQ(read_registers(0x00, sizeof buffer, buffer), 2);
    set_bus_speed(7); // no such item: the bytes stay
    ASSERT_GE(register_read(0x00), 0);
    int transfers_seen = 0;
    for (const Exchange &e : log.take()) {
        if (e.request[0] != kI2cRead && e.request[0] != kI2cWrite)
            continue;
        ++transfers_seen;
        EXPECT_EQ(e.request[10], 1);
        EXPECT_EQ(e.request[11], 1);
    }
    EXPECT_EQ(transfers_seen, 4);
}

TEST_F(Device, WritePinRunsOneStatusPoll) {
    host.on_status_poll = [] { run_status_script(); };
    for (int level : {1, 0}) {
        EXPECT_EQ(write_pin(0, 23, level), 1);
        EXPECT_EQ(pin_level(0, 23), level);
        EXPECT_EQ(read_pin_level(0, 23), level);
    }
    EXPECT_EQ(host.status_polls, 2);
    int pin_sets = 0;
    for (const Exchange &e : log.take())
        pin_sets += e.request[0] == kPinSet && e.request[5] == 23;
    EXPECT_EQ(pin_sets, 2);

    ASSERT_TRUE(kit("unplug")); // a failed pin command is a lost adapter
    EXPECT_EQ(write_pin(0, 23, 1), -1);
    EXPECT_EQ(host.status_polls, 2);
    EXPECT_EQ(device().connection_state, kNotConnected);
    EXPECT_EQ(host.reconnect_starts, std::vector<int>{500});
    EXPECT_EQ(pin_level(0, 23), 0);
}

TEST_F(Device, ProbeFindsTheSensorAndRestoresBusAndAddress) {
    host.selector = 1;
    device().bus_selection = 1;
    probe_board_sensor();
    EXPECT_TRUE(device().board_sensor_present);
    EXPECT_EQ(device().device_address, 0x61);
    std::vector<std::array<int, 5>> pins;
    int sensor_reads = 0;
    const auto seen = log.take();
    for (const Exchange &e : seen) {
        if (e.request[0] == kSetPins)
            pins.push_back(
                {e.request[4], e.request[8], e.request[12], e.request[16], e.request[20]});
        sensor_reads += e.request[0] == kI2cRead && e.request[7] == 0x48 && e.request[4] == 2;
    }
    EXPECT_EQ(pins, (std::vector<std::array<int, 5>>{{1, 18, 1, 19, 2}, {0, 2, 0, 4, 2}}));
    EXPECT_EQ(sensor_reads, 1);
    const auto script = loaded_script(seen);
    EXPECT_EQ(std::vector<uint8_t>(script.begin() + 157, script.begin() + 161),
              (std::vector<uint8_t>{0, 2, 0, 4}));
    EXPECT_EQ(host.log, (QStringList{"i2c_bus(vt)", "i2c_addr(0x61)"}));
}

TEST_F(Device, EchoLinesFollowTheEchoFlag) {
    device().echo = false;
    set_access_mode(1);
    select_i2c_bus(0);
    set_i2c_address(0x60); // logged whatever the echo flag
    EXPECT_EQ(host.log, QStringList{"i2c_addr(0x60)"});
}

// Without an adapter handle nothing reaches the library, nothing is
// classified, and trace and echo lines are written as usual.
TEST_F(Device, WithoutAdapterTheKitSeesNothing) {
    test::TraceCapture trace;
    usb_hid_close(device().handle);
    device().handle = BRIDGEIO_INVALID_HANDLE;
    device().connection_state = kNotAcknowledged;
    uint8_t buffer[8];
    EXPECT_EQ(register_read(0), -1);
    EXPECT_EQ(register_write(6, 5), -1);
    EXPECT_EQ(read_registers(0, sizeof buffer, buffer), -1);
    EXPECT_EQ(switch_page(2), -1);
    EXPECT_EQ(set_access_mode(4), -1);
    EXPECT_EQ(get_reg_value(line_of("VSET_B0").c_str()), -1);
    EXPECT_EQ(set_reg_value(line_of("VSET_B0").c_str(), 1), -1);
    EXPECT_EQ(set_reg_value(line_of("0x12").c_str(), 0xAA), -1); // not a done write
    EXPECT_EQ(read_pin_level(0, 18), -1);
    EXPECT_EQ(write_pin(0, 22, 0), -1);
    EXPECT_EQ(select_i2c_bus(1), -1);
    set_bus_speed(2);
    host.selector = 2;
    probe_board_sensor();
    EXPECT_TRUE(log.take().empty());
    EXPECT_EQ(device().connection_state, kNotAcknowledged);
    EXPECT_TRUE(host.timers_untouched());
    EXPECT_EQ(host.status_polls, 0);
    EXPECT_EQ(host.log, (QStringList{"scan", "i2c_bus(vt)", "i2c_bus(sys)", "i2c_addr(0x62)"}));
    EXPECT_TRUE(trace.contains("register write(), address = 0x06,data = 0x05"));
    EXPECT_TRUE(trace.contains("set pin 0.22 to 0"));
    EXPECT_EQ(device().status_script[2], 3);
}

} // namespace
} // namespace evalpanel
