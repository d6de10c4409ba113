// DeviceSession on the virtual kit through the real adapter library; the
// kit's exchange log shows the traffic.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QTimer>

#include <array>
#include <sstream>
#include <string>
#include <vector>

#include "../virtualkit/kit_lines.h"
#include "chip/adapter_commands.h"
#include "chip/status_script.h"
#include "device/device_session.h"
#include "device/operations.h"
#include "malformed_lines.h"
#include "registers/register_table.h"

namespace evalpanel {
namespace {

namespace pin = rx5120::pin;

// A register transfer from the kit's log: 'r' with the byte the chip
// answered, 'w' with the byte written.
struct Transfer {
    char kind;
    int reg, data;
    bool operator==(const Transfer &) const = default;
    friend std::ostream &operator<<(std::ostream &os, const Transfer &t) {
        return os << t.kind << ' ' << std::hex << t.reg << '=' << t.data << std::dec;
    }
};

// Requests and replies of the exchanges logged since the last call.
std::vector<std::pair<std::array<int, 64>, std::array<int, 64>>> take_log() {
    std::istringstream lines(kit("log"));
    kit("log clear");
    std::vector<std::pair<std::array<int, 64>, std::array<int, 64>>> out;
    for (std::string line; std::getline(lines, line);) {
        const bool request = line.find(" > ") != std::string::npos;
        if (!request && (line.find(" < ") == std::string::npos || out.empty()))
            continue;
        if (request)
            out.emplace_back();
        std::istringstream bytes(line.substr(line.find(request ? " > " : " < ") + 3));
        auto &into = request ? out.back().first : out.back().second;
        for (int &b : into)
            if (!(bytes >> std::hex >> b))
                break;
    }
    return out;
}

std::vector<Transfer> transfers() {
    constexpr int kI2cWrite = 0xA8, kI2cRead = 0xA9;
    std::vector<Transfer> out;
    for (const auto &[request, reply] : take_log()) {
        if (request[0] == kI2cWrite)
            out.push_back({'w', request[5], request[12]});
        else if (request[0] == kI2cRead)
            out.push_back({'r', request[5], reply[4]});
    }
    return out;
}

std::string line_of(const char *text) {
    char line[kLineSize] = {};
    if (find_reg_by_name(text, line, sizeof line) < 0)
        make_numeric_access(text, line, sizeof line);
    return line;
}

class Session : public ::testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        kit("clock manual"); // the chip stays where each test puts it
        QObject::connect(&session, &DeviceSession::log_line,
                         [this](const QString &line) { log << line; });
        session.connect_adapter();
        ASSERT_NE(session.handle(), BRIDGEIO_INVALID_HANDLE);
    }
    // "Assert VIOSYS" ticked: the chip is powered and brought up.
    void power() {
        ASSERT_EQ(session.write_box_pin(pin::kGroupA, pin::kVioSys, 1, true), 1);
        ASSERT_EQ(session.connection_state(), kConnected);
        log.clear();
        kit("log on");
        take_log();
    }

    DeviceSession session;
    QStringList log;
};

TEST_F(Session, ConnectsToAnUnpoweredChipAndBringsItUpFromTheBoxOnly) {
    // The chip has no supply: nothing read that could be shown.
    EXPECT_EQ(session.connection_state(), kNotAcknowledged);
    EXPECT_FALSE(session.registers_valid());
    EXPECT_FALSE(session.board_sensor_present());
    EXPECT_EQ(session.status_script(), rx5120::kStatusScriptImage);

    // A script's pin write is a pin write and its poll: no probe, no unlock,
    // no read of every register.
    log.clear();
    kit("log on");
    take_log();
    ASSERT_EQ(session.write_pin(pin::kGroupA, pin::kVioSys, 1), 1);
    EXPECT_EQ(take_log().size(), 2u);
    EXPECT_EQ(session.connection_state(), kConnected);
    EXPECT_FALSE(session.registers_valid());
    EXPECT_NE(chip_register(0, rx5120::kModeKeyRegister), 1);
    // The first full read after the rise is the power-on reference.
    session.read_all();
    EXPECT_TRUE(session.snapshot().power_on_valid);

    // The box brings the chip up.
    session.write_pin(pin::kGroupA, pin::kVioSys, 0);
    QSignalSpy registers(&session, &DeviceSession::registers_changed);
    session.write_box_pin(pin::kGroupA, pin::kVioSys, 1, true);
    EXPECT_EQ(session.connection_state(), kConnected);
    EXPECT_TRUE(session.board_sensor_present());
    EXPECT_TRUE(session.registers_valid());
    EXPECT_GE(registers.count(), 1);
    EXPECT_EQ(session.registers()[rx5120::reg::kChipId], rx5120::kChipId);
    EXPECT_TRUE(log.contains("advanced")) << log.join('|').toStdString();
    EXPECT_EQ(chip_register(0, rx5120::kModeKeyRegister), 1); // level advanced
}

TEST_F(Session, ASilentChipIsNeverReadyAndIsLoggedOncePerOutage) {
    power();
    // With the sensor found, a failed poll is the chip's; without it (probed
    // while unpowered) one chip ID read decides.
    for (bool sensor : {true, false}) {
        if (!sensor) {
            kit("pin 0 22 0");
            session.probe_board_sensor();
            ASSERT_FALSE(session.board_sensor_present());
        }
        log.clear();
        kit(sensor ? "nack on" : "log clear");
        for (int i = 0; i < 5; ++i)
            session.poll();
        EXPECT_EQ(session.connection_state(), kNotAcknowledged) << "sensor " << sensor;
        EXPECT_FALSE(session.status_fresh());
        EXPECT_EQ(session.adc_read(1, 1, 2.5, 10, 1.0), 0.0);
        kit(sensor ? "nack off" : "pin 0 22 1");
        session.poll();
        EXPECT_EQ(session.connection_state(), kConnected);
        EXPECT_EQ(log.count("NACK"), 1) << log.join('|').toStdString();
        EXPECT_TRUE(log.contains("chip answers again after 5 failed polls"))
            << log.join('|').toStdString();
    }
    // Powered again behind the program's back: nothing is read for it.
    EXPECT_FALSE(session.registers_valid());
}

TEST_F(Session, RegisterCacheIsValidOnlyWhileReadFromAPoweredChip) {
    power();
    ASSERT_TRUE(session.registers_valid());
    const std::vector<uint8_t> regs = {0x06, 0x0F};

    // Supply gone: nothing of the cache may be written back.
    session.write_pin(pin::kGroupA, pin::kVioSys, 0);
    EXPECT_FALSE(session.registers_valid());
    take_log();
    log.clear();
    EXPECT_FALSE(session.write_registers(regs));
    EXPECT_TRUE(transfers().empty());
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].startsWith("Write Registers: nothing written"));

    // A software reset: the cache is read again after it (SW_RESET reads 0).
    session.write_box_pin(pin::kGroupA, pin::kVioSys, 1, true);
    ASSERT_TRUE(session.registers_valid());
    session.set_cached(0x06, 0x3F);
    ASSERT_EQ(set_reg_value(session, line_of("SW_RESET").c_str(), 1), 1);
    EXPECT_FALSE(session.registers_valid());
    QCoreApplication::processEvents();
    EXPECT_TRUE(session.registers_valid());
    EXPECT_EQ(session.registers()[rx5120::reg::kSwReset], 0);
    EXPECT_EQ(session.registers()[0x06], chip_register(0, 0x06));

    // Lost and found again: nothing is valid until VIOSYS is up again.
    kit("unplug");
    session.poll();
    EXPECT_FALSE(session.registers_valid());
    kit("plug");
    session.connect_adapter();
    EXPECT_FALSE(session.registers_valid());
    session.write_box_pin(pin::kGroupA, pin::kVioSys, 1, true);
    EXPECT_TRUE(session.registers_valid());
    session.connect_adapter(); // the reconnect timer's next expiry only refreshes
    EXPECT_FALSE(session.reconnect_timer()->isActive());
}

// Measuring every source in turn ("All") keeps INT quiet and leaves the
// user's source and mask, and no I_LOAD_READY, behind it; a raised flag the
// user had stays raised.
TEST_F(Session, CurrentCyclingLeavesNoInterruptBehind) {
    power();
    for (const bool raised_before : {false, true}) {
        session.register_write(rx5120::reg::kSelILoad, 0x02);
        kit("advance 5");
        if (!raised_before)
            session.register_write(rx5120::reg::kFlags1, 0x00);
        session.poll();
        session.set_current_cycling(true);
        for (int i = 0; i < 8; ++i) {
            kit("advance 5");
            session.poll();
            EXPECT_EQ(session.pin_level(pin::kGroupA, pin::kInterrupt), 1) << i; // released
            EXPECT_EQ((session.registers()[rx5120::reg::kFlags1] & 0x20) != 0, raised_before) << i;
        }
        std::array<uint8_t, 256> image = session.registers();
        session.as_user_set(image); // what a saved file takes meanwhile
        EXPECT_EQ(image[rx5120::reg::kIntMask2] & 0x08, 0);
        session.set_current_cycling(false);
        kit("advance 5");
        session.poll();
        EXPECT_EQ(chip_register(0, rx5120::reg::kSelILoad) & 0x07, 0x02);
        EXPECT_EQ(chip_register(0, rx5120::reg::kIntMask2) & 0x08, 0);
        EXPECT_EQ((chip_register(0, rx5120::reg::kFlags1) & 0x20) != 0, raised_before);
    }
    // Started while the chip is unpowered: the mask goes in once it answers.
    session.write_pin(pin::kGroupA, pin::kVioSys, 0);
    session.set_current_cycling(true);
    session.write_pin(pin::kGroupA, pin::kVioSys, 1);
    for (int i = 0; i < 4; ++i) {
        kit("advance 5");
        session.poll();
    }
    EXPECT_EQ(session.pin_level(pin::kGroupA, pin::kInterrupt), 1);
    session.set_current_cycling(false);
    session.poll();
    EXPECT_EQ(chip_register(0, rx5120::reg::kIntMask2) & 0x08, 0);
}

// Every register the chip takes is reported under who wrote it; the
// program's own writes (the poll, the page around a map edit) are not.
TEST_F(Session, WritesAreAuditedByOriginAndEventsLogged) {
    power();
    QStringList written;
    QObject::connect(&session, &DeviceSession::chip_written,
                     [&](const QString &origin, const QString &line) { written << origin + ": " + line; });
    session.register_write(0x00, 0x20);
    write_register(session, 0x00, 0x21);
    char line[256];
    ASSERT_GE(find_reg_by_name("VSET_B0", line, sizeof line), 0);
    EXPECT_TRUE(write_map_edit(session, line, 0x22));
    session.set_current_cycling(true);
    {
        const DeviceSession::WriteOrigin console(session, QStringLiteral("console"));
        session.switch_page(2);
        session.register_write(0x10, 0x05);
        session.switch_page(0);
        session.poll(); // within a command's wait
    }
    session.set_current_cycling(false);
    session.register_write(0x00, 0x23);
    EXPECT_EQ(written, (QStringList{"direct access: R_VSET_B0 = 0x21", "map: R_VSET_B0 = 0x22",
                                    "console: page 2: 0x10 = 0x05"}));

    // The supply's edges and the adapter's loss, once each.
    log.clear();
    session.write_pin(pin::kGroupA, pin::kVioSys, 0);
    kit("unplug");
    session.poll();
    session.poll();
    EXPECT_EQ(log.filter(QRegularExpression("VIOSYS|Adapter")),
              (QStringList{"Chip not powered (VIOSYS low).", "Adapter lost."}));
}

TEST_F(Session, FailuresAreClassified) {
    power();
    session.set_polling(true);
    const struct { const char *fault; int expected_state; } rows[] = {
        {"nack on", kNotAcknowledged}, {"unplug", kNotConnected}};
    for (const auto &row : rows) {
        kit(row.fault);
        const bool lost = row.expected_state == kNotConnected;
        uint8_t buffer[16] = {0x5A};
        EXPECT_EQ(session.register_read(0), -1) << row.fault;
        // A lost adapter is closed at once: nothing more is sent to it.
        EXPECT_EQ(session.register_write(0, 0x12), lost ? -1 : 0);
        EXPECT_EQ(session.have_adapter(), !lost);
        EXPECT_EQ(session.read_registers(0, sizeof buffer, buffer), -1);
        EXPECT_EQ(buffer[0], 0x5A); // a failed block read leaves the buffer alone
        EXPECT_EQ(session.connection_state(), row.expected_state);
        EXPECT_EQ(session.poll_timer()->isActive(), !lost);
        EXPECT_EQ(session.reconnect_timer()->isActive(), lost);
        EXPECT_LE(session.reconnect_timer()->interval(), kReconnectIntervalMs);
        EXPECT_EQ(session.polling(), !lost);
        kit("nack off");
    }
    EXPECT_EQ(log.count("NACK"), 1);
}

// An adapter that answers nothing is an outage: closed at its first silent
// exchange, each attempt one exchange long, backing off to 1.5 s, said once.
TEST_F(Session, SilentAdapterIsAnOutageWithBackOff) {
    power();
    kit("lose 1000000");
    session.poll();
    EXPECT_EQ(session.connection_state(), kNotConnected);
    EXPECT_FALSE(session.have_adapter());
    take_log();
    std::vector<int> next;
    for (int attempt = 0; attempt < 3; ++attempt) {
        next.push_back(session.reconnect_interval());
        session.connect_adapter();
        EXPECT_EQ(take_log().size(), 1u) << "attempt " << attempt;
        EXPECT_FALSE(session.have_adapter());
        EXPECT_EQ(session.open_failure(), kAdapterSilentText);
    }
    EXPECT_EQ(next, (std::vector<int>{1000, 1500, 1500}));
    EXPECT_EQ(log.count(kAdapterSilentText), 1);

    kit("lose 0");
    session.connect_adapter();
    EXPECT_TRUE(session.have_adapter());
    EXPECT_NE(session.connection_state(), kNotConnected);
    EXPECT_TRUE(session.open_failure().isEmpty());
    EXPECT_EQ(session.reconnect_interval(), kReconnectIntervalMs);
}

// Without an adapter node the next one is looked for every 500 ms, however
// far a silent adapter had backed off; while a silent one stays, the time
// between attempts only looks for it, with no exchange.
TEST_F(Session, ANewAdapterIsTriedWithinHalfASecondInEveryBackOffPhase) {
    power();
    kit("lose 1000000");
    session.poll();
    for (int attempt = 0; attempt < 2; ++attempt)
        session.connect_adapter();
    ASSERT_EQ(session.reconnect_interval(), kReconnectMaxIntervalMs);
    take_log();
    session.reconnect_due(); // not due yet: looked for only
    EXPECT_TRUE(take_log().empty());
    EXPECT_LE(session.reconnect_timer()->interval(), kReconnectIntervalMs);

    kit("unplug");
    session.reconnect_due();
    EXPECT_EQ(session.reconnect_interval(), kReconnectIntervalMs);
    for (int attempt = 0; attempt < 3; ++attempt) {
        session.reconnect_due();
        EXPECT_LE(session.reconnect_timer()->interval(), kReconnectIntervalMs);
    }
    kit("lose 0");
    kit("plug");
    session.reconnect_due();
    EXPECT_NE(session.connection_state(), kNotConnected);
}

// A poll the adapter answers with its failure status (in its bootloader,
// or refusing the script command) carries no reading: the pins and flags
// stay as last read, and no bring-up follows when it ends.
TEST_F(Session, AFailedPollKeepsPinsAndFlags) {
    power();
    session.write_pin(pin::kGroupA, pin::kNrst, 1);
    kit("flag SCP on");
    session.poll();
    const ResultBlock before = session.status();
    const auto flags = [this] {
        return std::pair(session.registers()[rx5120::reg::kFlags0],
                         session.registers()[rx5120::reg::kFlags1]);
    };
    const auto raised = flags();
    ASSERT_EQ(before[rx5120::result::kVioSysLevel], 1);
    ASSERT_TRUE(raised.first != 0 || raised.second != 0);
    session.set_cached(0x13, 0x5A); // a change waiting for "Write Registers"
    QSignalSpy reread(&session, &DeviceSession::registers_changed);
    log.clear();
    kit(QString::asprintf("refuse %02x", rx5120::cmd::kScript).toStdString());
    session.poll();
    EXPECT_FALSE(session.status_fresh());
    EXPECT_EQ(session.status(), before);
    EXPECT_EQ(flags(), raised);
    EXPECT_TRUE(session.registers_valid());
    kit("refuse off");
    session.poll();
    EXPECT_TRUE(session.status_fresh());
    EXPECT_EQ(reread.count(), 0); // no bring-up: VIOSYS never fell
    EXPECT_EQ(session.registers()[0x13], 0x5A);
    EXPECT_TRUE(log.contains("chip answers again after 1 failed poll")) << log.join('|').toStdString();
}

// The access level sequence, a page guard and a poll (which reads the
// bucks' pages and ends on page 0) all select the user's page again after
// them, so that a write by address reaches that page.
TEST_F(Session, AccessLevelsPageGuardAndPollRestoreThePage) {
    power();
    session.set_polling(true);
    for (int page : {2, 0}) {
        set_chip_register(0, 0x19, 0x00);
        set_chip_register(2, 0x19, 0x00);
        ASSERT_EQ(session.switch_page(static_cast<uint8_t>(page)), 1);
        session.poll();
        EXPECT_EQ(session.register_read(rx5120::reg::kPage), page);
        ASSERT_EQ(session.register_write(0x19, 0x3E), 1);
        EXPECT_EQ(chip_register(page, 0x19), 0x3E) << "page " << page;
        EXPECT_EQ(chip_register(2 - page, 0x19), 0x00) << "page " << page;
    }
    ASSERT_EQ(session.switch_page(3), 1);
    for (int level : {0, 4, 9}) {
        take_log();
        const int applied = level < 4 ? level : 4;
        EXPECT_EQ(session.set_access_mode(level), applied);
        std::vector<Transfer> expected = {{'r', 0xFF, 3}, {'w', 0xFF, 0}, {'w', 0xDD, 0}};
        for (int i = 0; applied >= 1 && i <= applied; ++i)
            expected.push_back({'w', 0xDD, rx5120::kModeKey[i]});
        expected.push_back({'w', 0xFF, 3});
        EXPECT_EQ(transfers(), expected) << "level " << level;
    }
    {
        DeviceSession::PageGuard guard(session);
        EXPECT_EQ(session.register_read(rx5120::reg::kPage), 0);
    }
    EXPECT_EQ(session.register_read(rx5120::reg::kPage), 3);
    // Writes on another page are not page 0's and stay out of the cache.
    const uint8_t cached = session.registers()[0x06];
    session.register_write(0x06, static_cast<uint8_t>(~cached));
    EXPECT_EQ(session.registers()[0x06], cached);
    kit("nack on"); // a silent page register: nothing is written
    take_log();
    EXPECT_EQ(session.set_access_mode(2), -1);
    EXPECT_EQ(transfers().size(), 1u);
}

TEST_F(Session, AddressBusAndSpeedMoveTheTrafficAndTheScript) {
    power();
    QSignalSpy address(&session, &DeviceSession::address_changed);
    session.set_i2c_address(0x2C);
    session.set_bus_speed(2);
    session.select_i2c_bus(1);
    const auto &script = session.status_script();
    EXPECT_EQ(script[rx5120::script::kAddress], 0x2C);
    EXPECT_EQ(script[rx5120::script::kLastAddress], 0x2C);
    EXPECT_EQ(script[rx5120::script::kSpeed], 3);
    EXPECT_EQ(script[rx5120::script::kLastSpeed], 3);
    EXPECT_EQ(script[rx5120::script::kBusPins + 1], 2);
    EXPECT_EQ(session.bus(), 1);
    EXPECT_EQ(log, (QStringList{"i2c_addr(0x2c)", "i2c_bus(vt)"}));
    EXPECT_EQ(address.count(), 1);
    take_log();
    session.register_read(0);
    session.set_bus_speed(7); // no such item: the bytes stay
    session.register_write(0x19, 0x33);
    int seen = 0;
    for (const auto &[request, reply] : take_log()) {
        if (request[0] != 0xA8 && request[0] != 0xA9)
            continue;
        ++seen;
        EXPECT_EQ(request[7], 0x2C);
        EXPECT_EQ(request[10], 1);
        EXPECT_EQ(request[11], 1);
    }
    EXPECT_EQ(seen, 2);
}

TEST_F(Session, MultiSegmentFieldsReadLastSegmentFirstAndMergeAsRead) {
    power();
    kit("load 0 12000"); // Buck0 regulating above 2.55 A: both segments carry bits
    session.write_pin(pin::kGroupA, pin::kNrst, 1);
    kit("advance 1000");
    take_log();
    const int64_t value = get_reg_value(session, line_of("BUCK_LOAD_CURR").c_str());
    auto seen = transfers();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reg, 0x22);
    EXPECT_EQ(seen[1].reg, 0x21);
    EXPECT_EQ(value, (((seen[1].data & 0x7F) >> 4) << 8) | seen[0].data);
    EXPECT_GT(value, 0xFF);

    set_chip_register(0, 0x21, 3); // a load-current source in bits 2..0
    EXPECT_EQ(set_reg_value(session, line_of("BUCK_LOAD_CURR").c_str(), 0x5A5), 1);
    seen = transfers();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1], (Transfer{'w', 0x22, 0xA5}));
    EXPECT_EQ(seen[3], (Transfer{'w', 0x21, (seen[2].data & 0x8F) | 0x50}));
    EXPECT_EQ(seen[3].data & 0x07, 3);

    // A field merges into the chip's byte, not into a stale cache.
    set_chip_register(0, 0x06, 0x21);
    session.set_cached(0x06, 0x00);
    EXPECT_EQ(set_reg_value(session, line_of("FPWM_B3").c_str(), 1), 1);
    EXPECT_EQ(transfers(), (std::vector<Transfer>{{'r', 6, 0x21}, {'w', 6, 0x29}}));
    EXPECT_EQ(session.registers()[0x06], 0x29);
    for (const char *line : test::kMalformedFieldLines)
        EXPECT_EQ(set_reg_value(session, line, 0), -1) << line;
    EXPECT_TRUE(transfers().empty());
}

// An adapter that cannot be opened says why, once per change; the one
// opened is named once per connection.
TEST_F(Session, SaysWhichAdapterItOpenedAndWhyItCannot) {
    EXPECT_EQ(log.filter("Adapter opened").size(), 1);
    log.clear();
    QSignalSpy failures(&session, &DeviceSession::open_failure_changed);
    kit("unplug");
    session.poll();
    kit("plug");
    kit("held on");
    for (int attempt = 0; attempt < 3; ++attempt)
        session.connect_adapter();
    ASSERT_EQ(failures.count(), 1);
    EXPECT_TRUE(session.open_failure().contains("in use")) << session.open_failure().toStdString();
    EXPECT_TRUE(session.open_failure().contains("Adapter access"));
    EXPECT_EQ(log.filter("in use").size(), 1);
    kit("held off");
    session.connect_adapter();
    EXPECT_TRUE(session.open_failure().isEmpty());
    EXPECT_EQ(failures.count(), 2);
    const QStringList opened = log.filter("Adapter opened");
    ASSERT_EQ(opened.size(), 1);
    EXPECT_TRUE(opened[0].contains("bootloader 1.0.4, firmware 1.2.0")) << opened[0].toStdString();
}

TEST_F(Session, WithoutAdapterNothingReachesTheKit) {
    DeviceSession idle; // never opened
    kit("log on");
    take_log();
    uint8_t buffer[8];
    const int results[] = {idle.register_read(0), idle.register_write(6, 5),
                           idle.read_registers(0, sizeof buffer, buffer), idle.switch_page(2),
                           idle.set_access_mode(4),
                           set_reg_value(idle, line_of("0x12").c_str(), 0xAA), // no done write
                           idle.read_pin_level(0, 18), idle.write_pin(0, 22, 0),
                           idle.select_i2c_bus(1)};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(results[i], -1) << "call " << i;
    idle.probe_board_sensor();
    EXPECT_TRUE(take_log().empty());
    EXPECT_EQ(idle.connection_state(), kNotConnected);
}

} // namespace
} // namespace evalpanel
