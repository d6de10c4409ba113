// The device layer and the field operations against the virtual kit, through
// the real adapter library. The kit's exchange log shows the traffic.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "kit_control.h"
#include "kit_log.h"
#include "recording_host.h"
#include "registers/device_access.h"
#include "registers/device_trace.h"
#include "registers/register_table.h"

namespace evalpanel {
namespace {

using test::Exchange;
using test::KitLog;
using test::RecordingHost;
using test::TraceCapture;

constexpr uint8_t kI2cWrite = 0xA8;
constexpr uint8_t kI2cRead = 0xA9;
constexpr uint8_t kSetPins = 0xCA;
constexpr uint8_t kPinSet = 0xA1;
constexpr uint8_t kScript = 0xC2;

// One register transfer as the kit saw it.
struct Transfer {
    char kind; // 'r' or 'w'
    int reg;
    int data; // written byte, or the byte the chip answered
    bool operator==(const Transfer &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Transfer &t) {
    char text[32];
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

class KitDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kit("reset"));
        reset_device();
        device().host = &host;
        DeviceState &s = device();
        s.handle = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(s.handle, BRIDGEIO_INVALID_HANDLE);
        start_firmware(s.handle);
        // The chip answers only while VIOSYS (A22) is high.
        ASSERT_EQ(pin_set(s.handle, 0, 22, 1), 0);
        ASSERT_EQ(select_i2c_bus(0), 0);
        host.log.clear();
        log.start();
    }
    void TearDown() override {
        kit("log off");
        kit("reset");
        if (device().handle != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(device().handle);
        reset_device();
    }
    static bool kit(const std::string &line) {
        char reply[1024];
        const bool ok = kit_control(line.c_str(), reply, sizeof reply) == 0;
        EXPECT_TRUE(ok) << line << ": " << reply;
        return ok;
    }
    uint8_t chip_register(int page, int reg) {
        char reply[256];
        char line[64];
        std::snprintf(line, sizeof line, "reg %x %x", page, reg);
        EXPECT_EQ(kit_control(line, reply, sizeof reply), 0) << reply;
        return static_cast<uint8_t>(std::strtoul(reply, nullptr, 16));
    }
    std::string line_of(const char *text) {
        char line[kLineSize] = {};
        if (find_reg_by_name(text, line, sizeof line) < 0)
            EXPECT_EQ(make_numeric_access(text, line, sizeof line), 1) << text;
        return line;
    }

    RecordingHost host;
    KitLog log;
};

TEST_F(KitDevice, ReadsAndWritesAcknowledgedRegisters) {
    ASSERT_EQ(register_write(0x19, 0x5C), 1);
    EXPECT_EQ(register_read(0x19), 0x5C);
    EXPECT_EQ(chip_register(0, 0x19), 0x5C);
    EXPECT_EQ(device().connection_state, kConnected);
    std::array<uint8_t, 256> cache{};
    EXPECT_EQ(read_registers(0, 256, cache.data()), 256);
    EXPECT_EQ(cache[0x19], 0x5C);
    EXPECT_EQ(cache[0x18], rx5120::kChipId);
    const auto seen = log.take();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].request[7], 0x60); // device address
    EXPECT_EQ(seen[0].request[6], 1);    // address mode
    EXPECT_EQ(seen.back().request[0], kI2cRead);
}

TEST_F(KitDevice, MultiSegmentFieldReadsLastSegmentFirst) {
    const std::string line = line_of("BUCK_LOAD_CURR");
    const int64_t value = get_reg_value(line.c_str());
    const auto seen = transfers(log.take());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reg, 0x22);
    EXPECT_EQ(seen[1].reg, 0x21);
    const int r21 = seen[1].data;
    const int r22 = seen[0].data;
    EXPECT_EQ(value, (((r21 & 0x7F) >> 4) << 8) | r22);
}

TEST_F(KitDevice, MultiSegmentFieldWriteKeepsBitsAsReadFromTheChip) {
    ASSERT_TRUE(kit("reg 0 21 3")); // a load-current source, kept by the write
    const std::string line = line_of("BUCK_LOAD_CURR");
    EXPECT_EQ(set_reg_value(line.c_str(), 0x5A5), 1);
    const auto seen = transfers(log.take());
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], (Transfer{'r', 0x22, seen[0].data}));
    EXPECT_EQ(seen[1], (Transfer{'w', 0x22, 0xA5}));
    ASSERT_EQ(seen[2].kind, 'r');
    EXPECT_EQ(seen[2].reg, 0x21);
    EXPECT_EQ(seen[3], (Transfer{'w', 0x21, (seen[2].data & 0x8F) | 0x50}));
    EXPECT_EQ(seen[3].data & 0x07, 3);
    EXPECT_EQ(device().register_cache[0x22], 0xA5);
    EXPECT_EQ(device().register_cache[0x21], seen[3].data);
}

TEST_F(KitDevice, FieldWriteMergesIntoTheChipByteNotTheCache) {
    ASSERT_TRUE(kit("reg 0 6 21"));
    device().register_cache[0x06] = 0x00; // stale: must not be used
    EXPECT_EQ(set_reg_value(line_of("FPWM_B3").c_str(), 1), 1);
    EXPECT_EQ(transfers(log.take()), (std::vector<Transfer>{{'r', 0x06, 0x21}, {'w', 0x06, 0x29}}));
    EXPECT_EQ(device().register_cache[0x06], 0x29);
    EXPECT_EQ(get_reg_value(line_of("FPWM_B3").c_str()), 1);
}

TEST_F(KitDevice, WholeRegisterWriteLeavesTheCache) {
    device().register_cache[0x06] = 0x77;
    for (const char *name : {"R_FPWM", "0x06"}) {
        EXPECT_EQ(set_reg_value(line_of(name).c_str(), 0x05), 1) << name;
        EXPECT_EQ(transfers(log.take()), (std::vector<Transfer>{{'w', 0x06, 0x05}})) << name;
        EXPECT_EQ(device().register_cache[0x06], 0x77);
    }
    EXPECT_EQ(get_reg_value(line_of("R_FPWM").c_str()), 0x05);
    EXPECT_EQ(get_reg_value(line_of("0x06[2:0]").c_str()), 0x05);
}

// One failing transfer of each kind, with the chip silent or the adapter gone.
struct FailureCase {
    const char *fault; // kit command
    const char *operation;
    int expected;
    bool lost;
};

void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << c.operation << " with " << c.fault;
}

class KitFailure : public KitDevice, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KitFailure, IsClassified) {
    const FailureCase &c = GetParam();
    TraceCapture trace;
    device().polling_enabled = true;
    device().connection_state = kConnected;
    ASSERT_TRUE(kit(c.fault));
    const std::string op = c.operation;
    uint8_t buffer[16] = {};
    int result = 0;
    if (op == "register_read")
        result = register_read(0x00);
    else if (op == "register_write")
        result = register_write(0x00, 0x12);
    else
        result = read_registers(0x00, sizeof buffer, buffer);
    EXPECT_EQ(result, c.expected);
    const QString failed = QString::asprintf("read failed, retval = 0x%08x", c.lost ? -1 : -4);
    EXPECT_TRUE(trace.contains(failed));
    if (c.lost) {
        EXPECT_EQ(device().connection_state, kNotConnected);
        EXPECT_EQ(host.poll_timer_stops, 1);
        EXPECT_EQ(host.reconnect_starts, std::vector<int>{500});
        EXPECT_FALSE(device().polling_enabled);
        EXPECT_TRUE(host.log.isEmpty());
    } else {
        EXPECT_EQ(device().connection_state, kNotAcknowledged);
        EXPECT_EQ(host.log, QStringList{"NACK"});
        EXPECT_TRUE(host.timers_untouched());
        EXPECT_TRUE(device().polling_enabled);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, KitFailure,
                         ::testing::Values(FailureCase{"nack on", "register_read", -1, false},
                                           FailureCase{"nack on", "register_write", 0, false},
                                           FailureCase{"nack on", "read_registers", -1, false},
                                           FailureCase{"unplug", "register_read", -1, true},
                                           FailureCase{"unplug", "register_write", 0, true},
                                           FailureCase{"unplug", "read_registers", -1, true}));

TEST_F(KitDevice, NackLogIsSkippedWithoutCommandLog) {
    host.log_exists = false;
    ASSERT_TRUE(kit("nack on"));
    EXPECT_EQ(register_read(0x00), -1);
    EXPECT_EQ(device().connection_state, kNotAcknowledged);
    EXPECT_TRUE(host.log.isEmpty());
    ASSERT_TRUE(kit("nack off"));
    EXPECT_GE(register_read(0x00), 0);
    EXPECT_EQ(device().connection_state, kConnected);
}

struct AccessCase {
    int level;
    int applied;
};

void PrintTo(const AccessCase &c, std::ostream *os) {
    *os << "level " << c.level;
}

class KitAccessMode : public KitDevice, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(KitAccessMode, WritesTheKeyPrefixBetweenPageSwitches) {
    const AccessCase &c = GetParam();
    ASSERT_EQ(switch_page(3), 1);
    log.take();
    EXPECT_EQ(set_access_mode(c.level), c.applied);
    std::vector<Transfer> expected = {{'r', 0xFF, 3}, {'w', 0xFF, 0}, {'w', 0xDD, 0}};
    for (int i = 0; c.applied >= 1 && i <= c.applied; ++i)
        expected.push_back({'w', 0xDD, rx5120::kModeKey[i]});
    expected.push_back({'w', 0xFF, 3});
    EXPECT_EQ(transfers(log.take()), expected);
    EXPECT_EQ(host.log, QStringList{kAccessLevelNames[c.applied]});
    EXPECT_EQ(register_read(0xFF), 3);
}

INSTANTIATE_TEST_SUITE_P(Levels, KitAccessMode,
                         ::testing::Values(AccessCase{0, 0}, AccessCase{1, 1}, AccessCase{2, 2},
                                           AccessCase{4, 4}, AccessCase{9, 4}));

TEST_F(KitDevice, AccessModeWithSilentPageRegisterWritesNothing) {
    ASSERT_TRUE(kit("nack on"));
    EXPECT_EQ(set_access_mode(2), -1);
    const auto seen = transfers(log.take());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, 'r');
    EXPECT_EQ(seen[0].reg, 0xFF);
    EXPECT_EQ(host.log, (QStringList{"debug", "NACK"}));
}

TEST_F(KitDevice, PageNumbersAboveSixSelectPageZero) {
    TraceCapture trace;
    ASSERT_EQ(switch_page(4), 1);
    EXPECT_EQ(switch_page(9), 1);
    EXPECT_TRUE(trace.contains("switch to page 0"));
    EXPECT_EQ(transfers(log.take()), (std::vector<Transfer>{{'w', 0xFF, 4}, {'w', 0xFF, 0}}));
    EXPECT_EQ(register_read(0xFF), 0);
    ASSERT_TRUE(kit("nack on"));
    EXPECT_EQ(switch_page(1), -1);
}

TEST_F(KitDevice, NewAddressMovesAllTrafficAndTheScript) {
    set_i2c_address(0x2C);
    std::vector<Exchange> script_chunks;
    for (const Exchange &e : log.take())
        if (e.request[0] == kScript && e.request[8] == 0xFE)
            script_chunks.push_back(e);
    ASSERT_EQ(script_chunks.size(), 4u);
    EXPECT_EQ(script_chunks[0].request[11 + 1], 0x2C); // script byte 1
    EXPECT_EQ(script_chunks[3].request[4], 159);       // last chunk's offset
    EXPECT_EQ(script_chunks[3].request[11 + 4], 0x2C); // script byte 163
    EXPECT_EQ(device().status_script[1], 0x2C);
    EXPECT_EQ(device().status_script[163], 0x2C);
    EXPECT_EQ(host.log, QStringList{"i2c_addr(0x2c)"});
    EXPECT_EQ(host.selector, -1);

    // Nothing answers at 0x2C: every transfer goes there and is not acknowledged.
    uint8_t buffer[4];
    EXPECT_EQ(register_read(0x00), -1);
    EXPECT_EQ(register_write(0x00, 0x01), 0);
    EXPECT_EQ(read_registers(0x00, sizeof buffer, buffer), -1);
    EXPECT_EQ(device().connection_state, kNotAcknowledged);
    const auto seen = log.take();
    ASSERT_EQ(seen.size(), 3u);
    for (const Exchange &e : seen)
        EXPECT_EQ(e.request[7], 0x2C);

    // The stored script selects 0x2C too, so its chip steps fail; back at
    // 0x60 it runs again.
    EXPECT_NE(run_status_script(), 0);
    set_i2c_address(0x60);
    EXPECT_EQ(host.selector, 0);
    EXPECT_EQ(run_status_script(), 0);
    EXPECT_EQ(device().connection_state, kConnected);
}

TEST_F(KitDevice, HighSpeedSetsSpeedBytesAndScriptCode) {
    set_bus_speed(2);
    EXPECT_EQ(device().status_script[2], 3);
    EXPECT_EQ(device().status_script[164], 3);
    log.take();
    ASSERT_GE(register_read(0x00), 0);
    ASSERT_EQ(register_write(0x19, 0x33), 1);
    uint8_t buffer[2];
    ASSERT_EQ(read_registers(0x00, sizeof buffer, buffer), 2);
    const auto seen = log.take();
    ASSERT_EQ(seen.size(), 3u);
    for (const Exchange &e : seen) {
        EXPECT_EQ(e.request[10], 1);
        EXPECT_EQ(e.request[11], 1);
    }
    set_bus_speed(1);
    const auto chunks = log.take();
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].request[11 + 2], 1); // script byte 2 reloaded
    ASSERT_GE(register_read(0x00), 0);
    const auto fast_plus = log.take();
    ASSERT_EQ(fast_plus.size(), 1u);
    EXPECT_EQ(fast_plus[0].request[10], 1);
    EXPECT_EQ(fast_plus[0].request[11], 0);
}

TEST_F(KitDevice, WritePinRunsOneStatusPoll) {
    host.on_status_poll = [] { run_status_script(); };
    EXPECT_EQ(write_pin(0, 23, 1), 1);
    EXPECT_EQ(host.status_polls, 1);
    EXPECT_EQ(pin_level(0, 23), 1);
    EXPECT_EQ(write_pin(0, 23, 0), 1);
    EXPECT_EQ(host.status_polls, 2);
    EXPECT_EQ(pin_level(0, 23), 0);
    int pin_sets = 0;
    for (const Exchange &e : log.take())
        pin_sets += e.request[0] == kPinSet && e.request[4] == 0 && e.request[5] == 23;
    EXPECT_EQ(pin_sets, 2);
    // A live read agrees, and a pin outside the polled five is read live.
    EXPECT_EQ(read_pin_level(0, 23), 0);
    EXPECT_EQ(pin_level(0, 22), 1);
    EXPECT_EQ(pin_level(0, 3), read_pin_level(0, 3));
}

TEST_F(KitDevice, PinFailureIsALostAdapter) {
    ASSERT_TRUE(kit("unplug"));
    device().connection_state = kConnected;
    EXPECT_EQ(write_pin(0, 23, 1), -1);
    EXPECT_EQ(device().connection_state, kNotConnected);
    EXPECT_EQ(host.status_polls, 0);
    EXPECT_EQ(host.reconnect_starts, std::vector<int>{500});
    device().connection_state = kConnected;
    EXPECT_EQ(read_pin_level(0, 23), -1);
    EXPECT_EQ(device().connection_state, kNotConnected);
    EXPECT_EQ(host.poll_timer_stops, 2);
    EXPECT_TRUE(host.log.isEmpty());
}

TEST_F(KitDevice, StatusRunFillsTheBlockAndTheFlagRegisters) {
    ASSERT_EQ(run_status_script(), 0);
    EXPECT_EQ(device().connection_state, kConnected);
    const auto &block = device().status_result;
    EXPECT_EQ(device().register_cache[0x0D], block[0x0F]);
    EXPECT_EQ(device().register_cache[0x0E], block[0x10]);
    EXPECT_EQ(block[0x1B], 1); // A22 is high
    EXPECT_EQ(block[0x0F], register_read(0x0D));
}

TEST_F(KitDevice, ProbeFindsTheBoardSensorAndRestoresTheChipBus) {
    host.selector = 1;
    device().bus_selection = 1;
    probe_board_sensor();
    EXPECT_TRUE(device().board_sensor_present);
    EXPECT_EQ(device().device_address, 0x61);
    std::vector<std::array<int, 5>> pins;
    int sensor_reads = 0;
    for (const Exchange &e : log.take()) {
        if (e.request[0] == kSetPins)
            pins.push_back(
                {e.request[4], e.request[8], e.request[12], e.request[16], e.request[20]});
        if (e.request[0] == kI2cRead && e.request[7] == 0x48 && e.request[4] == 2)
            ++sensor_reads;
    }
    EXPECT_EQ(pins, (std::vector<std::array<int, 5>>{{1, 18, 1, 19, 2}, {0, 2, 0, 4, 2}}));
    EXPECT_EQ(sensor_reads, 1);
    EXPECT_EQ(host.log, (QStringList{"i2c_bus(vt)", "i2c_addr(0x61)"}));
}

// Without an adapter handle nothing reaches the library, so the kit sees no
// exchange at all.
TEST_F(KitDevice, WithoutAdapterTheKitSeesNothing) {
    usb_hid_close(device().handle);
    device().handle = BRIDGEIO_INVALID_HANDLE;
    device().connection_state = kNotAcknowledged;
    uint8_t buffer[8];
    EXPECT_EQ(register_read(0), -1);
    EXPECT_EQ(register_write(0, 1), -1);
    EXPECT_EQ(read_registers(0, sizeof buffer, buffer), -1);
    EXPECT_EQ(switch_page(2), -1);
    EXPECT_EQ(set_access_mode(4), -1);
    EXPECT_EQ(get_reg_value(line_of("VSET_B0").c_str()), -1);
    EXPECT_EQ(set_reg_value(line_of("VSET_B0").c_str(), 1), -1);
    EXPECT_EQ(read_pin_level(0, 18), -1);
    EXPECT_EQ(write_pin(0, 22, 0), -1);
    EXPECT_EQ(select_i2c_bus(0), -1);
    set_bus_speed(2);
    set_i2c_address(0x62);
    probe_board_sensor();
    EXPECT_TRUE(log.take().empty());
    EXPECT_EQ(device().connection_state, kNotAcknowledged);
    EXPECT_EQ(host.log, (QStringList{"scan", "i2c_bus(sys)", "i2c_addr(0x62)", "i2c_bus(sys)",
                                     "i2c_addr(0x62)"}));
    device().handle = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
}

} // namespace
} // namespace evalpanel
