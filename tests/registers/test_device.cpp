// The device layer and the field reads and writes against the virtual kit,
// through the real adapter library; the kit's exchange log shows the traffic.
#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../virtualkit/kit_lines.h"
#include "malformed_lines.h"
#include "registers/device_access.h"
#include "registers/register_table.h"

namespace evalpanel {
namespace {

// The window as the layer sees it, recording every request.
struct Host : DeviceHost {
    bool log_exists = true;
    QStringList log;
    int poll_stops = 0, status_polls = 0, selector = 0;
    std::vector<int> reconnects; // interval of each start
    std::function<void()> on_poll;

    bool has_command_log() const override { return log_exists; }
    void append_command_log(const QString &line) override { log << line; }
    void stop_poll_timer() override { ++poll_stops; }
    void start_reconnect_timer(int ms) override { reconnects.push_back(ms); }
    void set_address_selector_index(int i) override { selector = i >= 0 && i <= 3 ? i : -1; }
    int address_selector_index() const override { return selector; }
    void run_status_poll() override {
        ++status_polls;
        if (on_poll)
            on_poll();
    }
};

// The evalpanel.device trace lines written while it lives.
QStringList traced;
struct Trace {
    Trace() {
        traced.clear();
        QLoggingCategory::setFilterRules("evalpanel.device.debug=true");
        previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &m) { traced << m; });
    }
    ~Trace() {
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
    }
    QtMessageHandler previous;
};

// One exchange from the kit's log ("<ms> > <hex bytes>", "<ms> < <hex bytes>").
struct Exchange {
    std::array<uint8_t, 64> request{}, reply{};
};

std::vector<Exchange> take_log() {
    std::istringstream lines(kit("log"));
    kit("log clear");
    std::vector<Exchange> out;
    for (std::string line; std::getline(lines, line);) {
        const bool request = line.find(" > ") != std::string::npos;
        if (!request && (line.find(" < ") == std::string::npos || out.empty()))
            continue;
        if (request)
            out.emplace_back();
        std::istringstream bytes(line.substr(line.find(request ? " > " : " < ") + 3));
        auto &into = request ? out.back().request : out.back().reply;
        unsigned byte;
        for (std::size_t i = 0; i < into.size() && bytes >> std::hex >> byte; ++i)
            into[i] = static_cast<uint8_t>(byte);
    }
    return out;
}

constexpr uint8_t kI2cWrite = 0xA8, kI2cRead = 0xA9, kSetPins = 0xCA, kPinSet = 0xA1,
                  kScript = 0xC2;

// A register transfer: 'r' with the byte the chip answered, 'w' with the
// byte written.
struct Transfer {
    char kind;
    int reg, data;
    bool operator==(const Transfer &) const = default;
    friend std::ostream &operator<<(std::ostream &os, const Transfer &t) {
        return os << t.kind << ' ' << std::hex << t.reg << '=' << t.data << std::dec;
    }
};

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

// The status script as the kit received it in chunks.
std::vector<uint8_t> loaded_script(const std::vector<Exchange> &log) {
    std::vector<uint8_t> script(kStatusScriptSize);
    for (const Exchange &e : log) {
        const std::size_t offset = e.request[4] | e.request[5] << 8;
        const std::size_t n = e.request[9] | e.request[10] << 8;
        for (std::size_t i = 0; e.request[0] == kScript && e.request[8] == 0xFE && i < n; ++i)
            script.at(offset + i) = e.request[11 + i];
    }
    return script;
}

std::string line_of(const char *text) {
    char line[kLineSize] = {};
    if (find_reg_by_name(text, line, sizeof line) < 0)
        make_numeric_access(text, line, sizeof line);
    return line;
}

class Device : public ::testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        kit("clock manual"); // the chip stays where each test puts it
        reset_device();
        device().host = &host;
        device().handle = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(device().handle, BRIDGEIO_INVALID_HANDLE);
        start_firmware(device().handle);
        ASSERT_EQ(pin_set(device().handle, 0, 22, 1), 0); // VIOSYS powers the chip
        ASSERT_EQ(select_i2c_bus(0), 0);
        host.log.clear();
        kit("log on");
    }
    void TearDown() override {
        kit("log off");
        kit("clock real");
        if (device().handle != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(device().handle);
        reset_device();
    }
    Host host;
};

TEST_F(Device, MultiSegmentFieldReadsLastSegmentFirst) {
    kit("load 0 12000"); // Buck0 regulating above 2.55 A: both segments carry bits
    ASSERT_EQ(pin_set(device().handle, 0, 23, 1), 0);
    kit("advance 1000");
    take_log();
    const int64_t value = get_reg_value(line_of("BUCK_LOAD_CURR").c_str());
    const auto seen = transfers(take_log());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reg, 0x22);
    EXPECT_EQ(seen[1].reg, 0x21);
    EXPECT_EQ(value, (((seen[1].data & 0x7F) >> 4) << 8) | seen[0].data);
    EXPECT_GT(value, 0xFF);
}

TEST_F(Device, MultiSegmentFieldWriteKeepsOtherBitsAsRead) {
    kit("reg 0 21 3"); // a load-current source in bits 2..0
    EXPECT_EQ(set_reg_value(line_of("BUCK_LOAD_CURR").c_str(), 0x5A5), 1);
    const auto seen = transfers(take_log());
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].reg, 0x22);
    EXPECT_EQ(seen[1], (Transfer{'w', 0x22, 0xA5}));
    EXPECT_EQ(seen[2].reg, 0x21);
    EXPECT_EQ(seen[3], (Transfer{'w', 0x21, (seen[2].data & 0x8F) | 0x50}));
    EXPECT_EQ(seen[3].data & 0x07, 3);
}

TEST_F(Device, FieldWritesMergeIntoTheChipByteAndRegisterWritesSkipTheCache) {
    kit("reg 0 6 21");
    device().register_cache[0x06] = 0x00; // stale: must not be merged into
    EXPECT_EQ(set_reg_value(line_of("FPWM_B3").c_str(), 1), 1);
    EXPECT_EQ(transfers(take_log()), (std::vector<Transfer>{{'r', 6, 0x21}, {'w', 6, 0x29}}));
    EXPECT_EQ(device().register_cache[0x06], 0x29);
    for (const char *name : {"R_FPWM", "0x06"}) {
        EXPECT_EQ(set_reg_value(line_of(name).c_str(), 0x105), 1);
        EXPECT_EQ(transfers(take_log()), (std::vector<Transfer>{{'w', 6, 0x05}})) << name;
    }
    EXPECT_EQ(device().register_cache[0x06], 0x29);
    EXPECT_EQ(get_reg_value(line_of("0x06[2:0]").c_str()), 5);
    take_log();
    for (const char *line : test::kMalformedFieldLines)
        EXPECT_EQ(set_reg_value(line, 0), -1) << line;
    EXPECT_TRUE(take_log().empty());
}

struct Failure {
    const char *fault, *operation;
    int result;
    bool lost, nack;
};

void PrintTo(const Failure &f, std::ostream *os) {
    *os << f.operation << " / " << f.fault;
}

class DeviceFailure : public Device, public ::testing::WithParamInterface<Failure> {};

TEST_P(DeviceFailure, IsClassified) {
    const Failure &f = GetParam();
    const std::string op = f.operation;
    Trace trace;
    device().polling_enabled = true;
    device().connection_state = kConnected;
    device().board_sensor_present = op != "status without sensor";
    run_status_script();
    const auto block = device().status_result;
    kit(f.fault);
    uint8_t buffer[16];
    const int result = op == "register_read"    ? register_read(0)
                       : op == "register_write" ? register_write(0, 0x12)
                       : op == "read_registers" ? read_registers(0, sizeof buffer, buffer)
                                                : run_status_script();
    EXPECT_EQ(result, f.result);
    EXPECT_TRUE(
        traced.contains(QString::asprintf("read failed, retval = 0x%08x", f.lost ? -1 : -4)));
    EXPECT_EQ(host.log, f.nack ? QStringList{"NACK"} : QStringList{});
    EXPECT_EQ(device().connection_state, f.lost   ? kNotConnected
                                         : f.nack ? kNotAcknowledged
                                                  : kConnected);
    EXPECT_EQ(host.poll_stops, f.lost ? 1 : 0);
    EXPECT_EQ(host.reconnects, f.lost ? std::vector<int>{500} : std::vector<int>{});
    EXPECT_EQ(device().polling_enabled, !f.lost);
    EXPECT_EQ(device().status_result, block); // a failed run keeps the last block
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceFailure,
    ::testing::Values(Failure{"nack on", "register_write", 0, false, true},
                      Failure{"nack on", "read_registers", -1, false, true},
                      Failure{"nack on", "status with sensor", -4, false, true},
                      Failure{"nack on", "status without sensor", -4, false, false},
                      Failure{"unplug", "register_read", -1, true, false},
                      Failure{"unplug", "status with sensor", -1, true, false}));

TEST_F(Device, AccessLevelsWriteTheKeyPrefixBetweenPageSwitches) {
    ASSERT_EQ(switch_page(3), 1);
    for (int level : {0, 2, 4, 9}) {
        take_log();
        host.log.clear();
        const int applied = level < 4 ? level : 4;
        EXPECT_EQ(set_access_mode(level), applied);
        std::vector<Transfer> expected = {{'r', 0xFF, 3}, {'w', 0xFF, 0}, {'w', 0xDD, 0}};
        for (int i = 0; applied >= 1 && i <= applied; ++i)
            expected.push_back({'w', 0xDD, rx5120::kModeKey[i]});
        expected.push_back({'w', 0xFF, 3});
        EXPECT_EQ(transfers(take_log()), expected) << "level " << level;
        EXPECT_EQ(host.log, QStringList{kAccessLevelNames[applied]});
    }
    kit("nack on"); // a silent page register: nothing is written
    take_log();
    EXPECT_EQ(set_access_mode(2), -1);
    EXPECT_EQ(transfers(take_log()).size(), 1u);
}

TEST_F(Device, PagesAboveSixSelectPageZero) {
    Trace trace;
    ASSERT_EQ(switch_page(4), 1);
    EXPECT_EQ(switch_page(9), 1);
    EXPECT_TRUE(traced.contains("switch to page 0"));
    EXPECT_EQ(transfers(take_log()), (std::vector<Transfer>{{'w', 0xFF, 4}, {'w', 0xFF, 0}}));
    EXPECT_EQ(register_read(0xFF), 0);
}

TEST_F(Device, NewAddressMovesAllTrafficAndTheScript) {
    set_i2c_address(0x2C);
    const auto script = loaded_script(take_log());
    EXPECT_EQ(script[1], 0x2C);
    EXPECT_EQ(script[163], 0x2C);
    EXPECT_TRUE(std::equal(script.begin(), script.end(), device().status_script.begin()));
    EXPECT_EQ(host.log, QStringList{"i2c_addr(0x2c)"});
    EXPECT_EQ(host.selector, -1);
    uint8_t buffer[4];
    register_read(0);
    register_write(0, 1);
    read_registers(0, sizeof buffer, buffer);
    const auto seen = take_log();
    ASSERT_EQ(seen.size(), 3u);
    for (const Exchange &e : seen)
        EXPECT_EQ(e.request[7], 0x2C);
    set_i2c_address(0x61);
    EXPECT_EQ(host.selector, 1);
}

TEST_F(Device, HighSpeedSetsSpeedBytesAndScriptCode) {
    set_bus_speed(2);
    const auto script = loaded_script(take_log());
    EXPECT_EQ(script[2], 3);
    EXPECT_EQ(script[164], 3);
    uint8_t buffer[2];
    register_read(0);
    register_write(0x19, 0x33);
    read_registers(0, sizeof buffer, buffer);
    set_bus_speed(7); // no such item: the bytes stay
    register_read(0);
    int seen = 0;
    for (const Exchange &e : take_log()) {
        if (e.request[0] == kI2cRead || e.request[0] == kI2cWrite) {
            ++seen;
            EXPECT_EQ(e.request[10], 1);
            EXPECT_EQ(e.request[11], 1);
        }
    }
    EXPECT_EQ(seen, 4);
}

TEST_F(Device, WritePinRunsOneStatusPoll) {
    host.on_poll = [] { run_status_script(); };
    for (int level : {1, 0}) {
        EXPECT_EQ(write_pin(0, 23, level), 1);
        EXPECT_EQ(pin_level(0, 23), level); // from the poll's block
        EXPECT_EQ(read_pin_level(0, 23), level);
    }
    EXPECT_EQ(host.status_polls, 2);
    EXPECT_EQ(device().register_cache[0x0E], device().status_result[0x10]);
    int pin_sets = 0;
    for (const Exchange &e : take_log())
        pin_sets += e.request[0] == kPinSet && e.request[5] == 23;
    EXPECT_EQ(pin_sets, 2);
    kit("unplug"); // a failed pin command is a lost adapter
    EXPECT_EQ(write_pin(0, 23, 1), -1);
    EXPECT_EQ(host.status_polls, 2);
    EXPECT_EQ(device().connection_state, kNotConnected);
    EXPECT_EQ(host.reconnects, std::vector<int>{500});
}

TEST_F(Device, ProbeFindsTheSensorAndRestoresBusAndAddress) {
    host.selector = 1;
    device().bus_selection = 1;
    probe_board_sensor();
    EXPECT_TRUE(device().board_sensor_present);
    std::vector<std::array<int, 5>> pins;
    const auto seen = take_log();
    for (const Exchange &e : seen)
        if (e.request[0] == kSetPins)
            pins.push_back(
                {e.request[4], e.request[8], e.request[12], e.request[16], e.request[20]});
    EXPECT_EQ(pins, (std::vector<std::array<int, 5>>{{1, 18, 1, 19, 2}, {0, 2, 0, 4, 2}}));
    const auto script = loaded_script(seen);
    EXPECT_EQ(std::vector<int>(script.begin() + 157, script.begin() + 161),
              (std::vector<int>{0, 2, 0, 4}));
    EXPECT_EQ(host.log, (QStringList{"i2c_bus(vt)", "i2c_addr(0x61)"}));
    EXPECT_EQ(device().device_address, 0x61);
}

// Without an adapter handle nothing reaches the library and nothing is
// classified; trace and echo lines are written as usual.
TEST_F(Device, WithoutAdapterTheKitSeesNothing) {
    Trace trace;
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
    EXPECT_TRUE(take_log().empty());
    EXPECT_EQ(device().connection_state, kNotAcknowledged);
    EXPECT_TRUE(host.poll_stops == 0 && host.reconnects.empty() && host.status_polls == 0);
    EXPECT_EQ(host.log, (QStringList{"scan", "i2c_bus(vt)", "i2c_bus(sys)", "i2c_addr(0x62)"}));
    EXPECT_TRUE(traced.contains("register write(), address = 0x06,data = 0x05"));
    EXPECT_TRUE(traced.contains("set pin 0.22 to 0"));
}

} // namespace
} // namespace evalpanel
