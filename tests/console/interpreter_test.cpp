#include <string>
#include <vector>

#include <QRegularExpression>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "device/telemetry.h"
#include "kit_fixture.h"

namespace {

using Printed = QStringList;

// ---- Lines and their exact answers ------------------------------------

// Every line refreshes the window once. In order: page and access level
// changes stay for the rows after them.
TEST_F(ConsoleKitTest, CommandAnswers) {
    const struct {
        const char *line;
        Printed printed;
    } rows[] = {
        {"", {}}, {"nonsense", {"Syntax error"}},
        {"vset_b0 = 1", {"Syntax error"}}, {" VSET_B0", {"Syntax error"}},
        {"for i=0:1:3", {"Syntax error"}},
        // Pages: 0..6, the closing parenthesis optional.
        {"page()", {"page 0"}}, {"page(3", {"switched to page 3"}},
        {"page(7)", {"illegal page number"}}, {"page(-1)", {"illegal page number"}},
        // Output voltage and load current: buck bounds.
        {"vout()", {"choose buck 0."}}, {"vout(-2)", {"not available"}},
        {"iout(6)", {"choose buck 0-5."}}, {"iout(-1)", {"choose buck 0-5."}},
        {"i2c_bus(vtx)", {"Syntax error"}},
        // Collision values in both notations; nothing reaches the chip.
        {"i2c_collision(1h,2h,3h,4h)", {"01 02 03 04"}},
        {"i2c_collision(a,bb,c,dd)", {"0a bb 0c dd"}}, {"i2c_collision(1,2,3)", {"Syntax error"}},
        // Addresses above 0x7F are not recognised.
        {"i2c_addr(0x80)", {"Syntax error"}}, {"send_seq", {"Syntax error"}},
        {"PIN_INT = 1", {"This is read-only pin."}}, {"pin_nrst", {"Syntax error"}},
        // Register expressions: bounds (no wrap past 32 bits) and value forms.
        {"VSET_B0 = 128", {"value out of bounds. (0-7F) (0-127 dec)"}},
        {"VSET_B0 = -1", {"value out of bounds. (0-7F) (0-127 dec)"}},
        {"VSET_B0 = 4294967296", {"value out of bounds. (0-7F) (0-127 dec)"}},
        {"0x12[3:0] = 16", {"value out of bounds. (0-F) (0-15 dec)"}},
        {"BUCK_LOAD_CURR = 0x800", {"value out of bounds. (0-7FF) (0-2047 dec)"}},
        {"VSET_B0 = 0b101", {"value must be in hexadecimal,binary or decimal format."}},
        {"VSET_B0 =", {"value must be in hexadecimal,binary or decimal format."}},
        // Access levels, keywords matched as prefixes.
        {"test", {"switched to test mode"}}, {"user", {"switched to user mode"}},
        {"debug", {"switched to debug mode"}}, {"advanced", {"switched to advanced user mode"}},
        {"testing", {"switched to test mode"}},
        // Delays: 0..10000 ms, a number required.
        {"wait(0)", {"wait for 0 ms"}}, {"wait(10001)", {"maximum delay is 10000 ms"}},
        {"wait(-5)", {"minimum delay is 0 ms"}},
        {"wait(", {"wait needs a delay in ms: wait(time)"}},
        {"wait()", {"wait needs a delay in ms: wait(time)"}},
        {"echo done 42", {"done 42"}}, {"echo", {""}}, {"poll()", {"poll status : off"}}};
    for (const auto &r : rows) {
        host.refreshes = 0;
        EXPECT_EQ(run(r.line), r.printed) << r.line;
        EXPECT_EQ(host.refreshes, 1) << r.line;
    }
}

// ---- Register expressions at the chip ------------------------------------

TEST_F(ConsoleKitTest, RegisterQueryPrintsValueAndBitGroups) {
    set_chip_register(0, 0x00, 0xBC); // EN_DIS_B0 1, VSET_B0 0x3C
    for (const char *line : {"VSET_B0", "VSET_B0   ", "VSET_B0\t", "VSET_B0 \t "})
        EXPECT_EQ(run(line), Printed{"VSET_B0 = 0x3C ( 0011 1100 )"}) << line;
    EXPECT_EQ(run("R_VSET_B0"), Printed{"R_VSET_B0 = 0xBC ( 1011 1100 )"});
    EXPECT_EQ(run("0x00[7]"), Printed{"0x00[7] = 0x01 ( 0000 0001 )"});
    EXPECT_EQ(host.log,
              (QStringList{"VSET_B0", "VSET_B0", "VSET_B0", "VSET_B0", "R_VSET_B0", "0x00[7]"}));
}

// Assignments reach the chip with a read-modify-write.
TEST_F(ConsoleKitTest, AssignmentsReachTheChip) {
    const struct {
        const char *line;
        int address, before, after;
        const char *record;
    } rows[] = {
        {"VSET_B0 5", 0x00, 0x80, 0x85, "VSET_B0 = 0x5"},
        {"VSET_B0 == 11111b", 0x00, 0x00, 0x1F, "VSET_B0 = 0x1F"},
        {"VSET_B0 = 127", 0x00, 0x80, 0xFF, "VSET_B0 = 0x7F"},
        {"R_VSET_B0 = 0x1FH", 0x00, 0x80, 0x1F, "R_VSET_B0 = 0x1F"},
        {"0x12 = 0xaa", 0x12, 0x0A, 0xAA, "0x12 = 0xAA"},
        {"0x12[7] = 1", 0x12, 0x0A, 0x8A, "0x12[7] = 0x1"},
        {"0x12[3:0] = 15", 0x12, 0xA0, 0xAF, "0x12[3:0] = 0xF"},
        {"DELAY_B0 = 12z", 0x12, 0x0A, 0x0C, "DELAY_B0 = 0xC"}};
    for (const auto &a : rows) {
        set_chip_register(0, a.address, a.before);
        host.log.clear();
        EXPECT_EQ(run(a.line), Printed{}) << a.line;
        EXPECT_EQ(chip_register(0, a.address), a.after) << a.line;
        EXPECT_EQ(host.log, QStringList{a.record});
    }
}

// ---- No values without an adapter, no silent failures ----------------------

// The kit is made to fail (commands before the lines), then each line must
// answer its error and count as failed: never a made-up value, never nothing.
// In order: each row's faults stay until a later row ends them.
TEST_F(ConsoleKitTest, FailuresAreAnsweredWithTheirError) {
    const struct {
        std::vector<const char *> kit;
        const char *lines;   // '|' between lines, each answered alike
        const char *printed; // the one line each prints (null: nothing)
        bool ok;
    } rows[] = {
        {{}, "echo fine", "fine", true},
        {{}, "expect(NOPE, 1)", "expect: no register, field, pin or status key named NOPE", false},
        // An expected value the name cannot hold is an error of the script.
        {{},
         "expect(VSET_B0, 0x80)|expect(PIN_NRST, 2)|expect(VOUT_B5_V, 3.3)|expect(mode_B0, PWN)|"
         "expect(I_B0_mA, 450..350)|expect(mode_B0, PWM..ECO)|expect(board_C, warm)",
         "expect: ", false},
        {{}, "expect(VSET_B0)", "expect needs a name and a value", false},
        {{}, "nonsense|PIN_INT = 1|VSET_B0 = 128", "", false},
        // expect compares what a query shows, in every value form.
        {{"reg 0 00 21"},
         "expect(VSET_B0, 0x21)|expect( VSET_B0 , 33 )|expect(0x00[6:0], 100001b)|"
         "expect(PIN_NRST, 0)|expect(VSET_B0, 0x20..0x21)|expect(state, ready)|"
         "expect(current_source, 0..7)|expect(OVP, 0)",
         nullptr, true},
        {{}, "expect(VSET_B0, 0x20)", "expect VSET_B0: 0x21, expected 0x20", false},
        {{}, "expect(VSET_B0, 0..0x20)", "expect VSET_B0: 0x21, expected 0x00..0x20", false},
        {{"flag OVP on"}, "expect(OVP, 0)|expect(state, NACK)", "expect ", false},
        {{"flag OVP off"}, "expect(die_temp_level, 1..3)", "expect die_temp_level: 0, expected 1..3", false},
        // The refused write of a field, a register and a pin; the refused
        // status script: the pin is read from the adapter, as it is.
        {{"refuse a8"}, "VSET_B0 = 1|0x12 = 1|iout(1)", "I2C : NO ACK", false},
        {{"refuse off", "refuse a1"}, "PIN_NRST = 1", "USB ERROR", false},
        {{"refuse off", "pin 0 23 1", "refuse c2"}, "PIN_NRST", "PIN_NRST = 1", true},
        // No made-up value or current from a chip that does not answer.
        {{"refuse off", "nack on"},
         "VSET_B0|VSET_B0 = 1|page()|page(2)|advanced|iout(0)|expect(VSET_B0, 0)", "I2C : NO ACK",
         false},
        {{"nack off", "unplug"},
         "VSET_B0|VSET_B0 = 1|0x12[3:0]|PIN_NRST|PIN_INT|PIN_NRST = 1|vout(0)|iout(0)|temp|"
         "page()|advanced|status|expect(VSET_B0, 0)|poll(1)",
         "USB ERROR", false},
        {{"plug"}, "VSET_B0", "USB ERROR", false}, // not reopened yet
    };
    for (const auto &r : rows) {
        for (const char *command : r.kit)
            kit(command);
        for (const QString &line : QString::fromLatin1(r.lines).split('|')) {
            SCOPED_TRACE(line.toStdString());
            const Printed printed = run(line.toLatin1().constData());
            ASSERT_EQ(printed.size(), r.printed ? 1 : 0) << printed.join("|").toStdString();
            EXPECT_TRUE(!r.printed || printed[0].startsWith(QString::fromLatin1(r.printed)))
                << printed.join("|").toStdString();
            EXPECT_EQ(interpreter.succeeded(), r.ok);
        }
    }
}

TEST_F(ConsoleKitTest, IdentifyNamesProgramAdapterAndChip) {
    const Printed printed = run("identify");
    ASSERT_EQ(printed.size(), 6) << printed.join("|").toStdString();
    EXPECT_EQ(printed[0], QStringLiteral("program: evalpanel " EVALPANEL_VERSION));
    EXPECT_TRUE(
        printed[1].contains(QRegularExpression("^adapter: .+, bootloader .+, firmware .+$")))
        << printed[1].toStdString();
    EXPECT_EQ(printed.mid(2),
              (Printed{"connection: ready", "chip id: 0x84", "access level: advanced", "page: 0"}));
    kit("unplug");
    run("VSET_B0");
    EXPECT_EQ(run("identify"),
              (Printed{"program: evalpanel " EVALPANEL_VERSION, "adapter: none",
                       "connection: not connected", "chip id: ", "access level: ", "page: "}));
}

// ---- Commands with effects -------------------------------------------------

// A wait sleeps in slices, so that a stop request can end it.
TEST_F(ConsoleKitTest, WaitSleepsInSlices) {
    EXPECT_EQ(run("wait(10000)"), Printed{"wait for 10000 ms"});
    EXPECT_EQ(std::accumulate(host.sleeps.begin(), host.sleeps.end(), 0), 10000);
    EXPECT_LE(*std::max_element(host.sleeps.begin(), host.sleeps.end()), 10);
}

// vout and temp poll first: they show the chip and board as they are now,
// not as the last poll saw them.
TEST_F(ConsoleKitTest, MeasurementsReadAFreshPoll) {
    EXPECT_EQ(run("vout(0)"), Printed{"Buck5 voltage : 0.00 V"});
    power_up_buck5();
    const Printed printed = run("vout(0)");
    ASSERT_EQ(printed.size(), 1);
    EXPECT_TRUE(printed[0].contains(QRegularExpression("^Buck5 voltage : [0-9]\\.[0-9][0-9] V$")));
    EXPECT_NE(printed[0], "Buck5 voltage : 0.00 V");

    kit("boardtemp 31.5");
    const Printed first = run("temp");
    kit("boardtemp 60");
    const Printed second = run("temp");
    ASSERT_EQ(first.size(), 1);
    ASSERT_EQ(second.size(), 1);
    EXPECT_TRUE(first[0].startsWith("31.5")) << first[0].toStdString();
    EXPECT_TRUE(second[0].startsWith("60.0")) << second[0].toStdString();
    // TEMP is the chip's field, not the board temperature.
    set_chip_register(0, 0x0D, 0x02);
    EXPECT_EQ(run("TEMP"), Printed{"TEMP = 0x02 ( 0000 0010 )"});
}

TEST_F(ConsoleKitTest, LoadCurrentSelectsTheBuckAndReadsTensOfMilliamps) {
    power_up_buck5();
    kit("load 5 350");
    host.sleeps.clear();
    const Printed printed = run("iout(5)");
    ASSERT_EQ(printed.size(), 1);
    EXPECT_TRUE(printed[0].contains(QRegularExpression("^Buck 5 load current : 3[456]0 mA$")))
        << printed[0].toStdString();
    EXPECT_EQ(host.sleeps, std::vector<int>{5});
    EXPECT_EQ(chip_register(0, 0x21) & 0x07, 5);
    // A wide field's query shows its low byte in bit groups: 2047 counts,
    // give or take the measurement's one count of noise.
    kit("load 5 20470");
    kit("advance 5");
    const Printed wide = run("BUCK_LOAD_CURR");
    ASSERT_EQ(wide.size(), 1);
    EXPECT_TRUE(
        wide[0].contains(QRegularExpression("^BUCK_LOAD_CURR = 0x7F[EF] \\( 1111 111[01] \\)$")))
        << wide[0].toStdString();
}

TEST_F(ConsoleKitTest, BusAndAddressCommandsMoveTheTraffic) {
    std::vector<int> bus_changes; // what the window's bus selector follows
    QObject::connect(&session, &evalpanel::DeviceSession::bus_changed,
                     [&](int bus) { bus_changes.push_back(bus); });
    EXPECT_EQ(run("i2c_bus(vt) and more"), Printed{"i2c bus : Ventra"});
    EXPECT_EQ(run("i2c_bus()"), Printed{"selected i2c bus : Ventra"});
    EXPECT_EQ(run("i2c_bus(sys)"), Printed{"i2c bus : System"});
    EXPECT_EQ(run("i2c_bus()"), Printed{"selected i2c bus : system"});
    EXPECT_EQ(bus_changes, (std::vector<int>{1, 0}));
    EXPECT_EQ(run("VSET_B0 = 3"), Printed{}); // the chip answers on the system bus again

    EXPECT_EQ(run("i2c_addr(0x61)"), Printed{});
    EXPECT_EQ(session.device_address(), 0x61);
    EXPECT_EQ(run("VSET_B0"), Printed{"I2C : NO ACK"}); // nobody at 0x61
    run("i2c_addr(0x60)");
    EXPECT_EQ(run("VSET_B0 = 1"), Printed{});
}

TEST_F(ConsoleKitTest, SendSeqBuildsTheSequence) {
    run("send_seq 0x01 0x55 300 0x01 0xAA");
    EXPECT_EQ(interpreter.last_sequence(),
              (std::vector<uint8_t>{0x00, 0x60, 0x00, 0x01, 0x01, 0x55, 0x08, 0xB8, 0x0B, 0x00,
                                    0x01, 0x01, 0xAA, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(host.log, QStringList{""});

    // h-suffixed bytes, a delay clamped to 500000 and a negative one to 0,
    // the device address and speed code of the moment, unread text logged.
    session.set_bus_speed(2);
    host.log.clear();
    run("send_seq 1fh 20h 60000 -5 rest");
    EXPECT_EQ(interpreter.last_sequence(),
              (std::vector<uint8_t>{0x00, 0x60, 0x03, 0x01, 0x1F, 0x20, 0x08, 0x20, 0xA1, 0x07,
                                    0x08, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(host.log, QStringList{" rest"});

    // Steps stop being stored once 200 bytes are: 67 writes reach 201.
    std::string line = "send_seq";
    for (int i = 0; i < 100; ++i)
        line += " 0x01 0x02";
    run(line.c_str());
    EXPECT_EQ(interpreter.last_sequence().size(), 67u * 3 + 6);
}

TEST_F(ConsoleKitTest, PinCommands) {
    EXPECT_EQ(run("PIN_NRST = 5"), Printed{});
    EXPECT_EQ(kit_pin(0, 23), 1);
    EXPECT_EQ(run("PIN_NRST"), Printed{"PIN_NRST = 1"});
    EXPECT_EQ(run("PIN_NRST = x"), Printed{"PIN_NRST = 1"}); // no number: a query
    EXPECT_EQ(run("PIN_NRST=0"), Printed{});
    EXPECT_EQ(kit_pin(0, 23), 0);
    EXPECT_EQ(run("PIN_NRST"), Printed{"PIN_NRST = 0"});
    EXPECT_EQ(host.log,
              (QStringList{"PIN_NRST = 1", "PIN_NRST", "PIN_NRST", "PIN_NRST = 0", "PIN_NRST"}));
}

// Passing steps erase themselves; a chip that does not answer fails every
// read. Nothing is mirrored to a client.
TEST_F(ConsoleKitTest, BusTestCountsFailedReads) {
    run("i2c_test");
    QStringList lines = doc.lines();
    EXPECT_EQ(lines.count("Write/read test to register 0x19:"), 10);
    EXPECT_EQ(lines.count("Write/read test to register 0x1e:"), 10);
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[lines.size() - 2].startsWith("0 errors in "));
    EXPECT_TRUE(lines[lines.size() - 2].endsWith(" seconds / 15360 read/write pairs"));
    EXPECT_EQ(lines.last(), "OK");
    EXPECT_FALSE(doc.text.contains("write 0x"));
    EXPECT_EQ(chip_register(0, 0x19), 0xFF);
    EXPECT_TRUE(host.printed.isEmpty());

    doc.text.clear();
    doc.cursor = 0;
    kit("nack on");
    run("i2c_test");
    lines = doc.lines();
    EXPECT_EQ(lines.count("NACK"), 15360);
    EXPECT_TRUE(doc.text.contains("write 0x00\nNACK\n"));
    EXPECT_GE(lines.indexOf(QRegularExpression("^15360 errors in .* seconds / 15360 "
                                               "read/write pairs$")),
              0);
    EXPECT_NE(lines.last(), "OK");
}

TEST_F(ConsoleKitTest, PollAndValueTextsThatDoNotFit) {
    EXPECT_EQ(run("poll(1)"), Printed{});
    EXPECT_TRUE(session.polling());
    EXPECT_EQ(run("poll()"), Printed{"poll status : on"});
    run("poll(0)");
    EXPECT_FALSE(session.polling());
    // 63 characters of value text are taken, 64 are refused, never cut.
    const std::string fits = "0x" + std::string(60, '0') + "5";
    run(("VSET_B0 = " + fits).c_str());
    EXPECT_EQ(chip_register(0, 0x00) & 0x7F, 5);
    const std::string longer = "0" + fits;
    EXPECT_EQ(run(("VSET_B0 = " + longer).c_str()),
              Printed{"value must be in hexadecimal,binary or decimal format."});
    EXPECT_EQ(chip_register(0, 0x00) & 0x7F, 5);
}

} // namespace
