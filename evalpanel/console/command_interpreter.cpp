#include "command_interpreter.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "chip/rx5120.h"
#include "chip/status_script.h"
#include "console/console_trace.h"
#include "console/reg_expression.h"
#include "device/configuration.h"
#include "device/device_session.h"
#include "device/workbench.h"
#include "registers/register_table.h"

namespace console {

const char kHelpText[] = "Commands :\n\nadvanced\ni2c_bus([vt|sys])\niout(buck number)\n"
                         "register_name\nuser\nwait(time [ms])\naddr = value\n examples:\n"
                         " 0x12 = 0xaa\n 0x12[7] = 1\n 0x12[3:0] = 15\n";
const char kHelpTextMore[] = "debug\npage(1-6)\ntest\ni2c_test\ni2c_addr(I2C address)\n"
                             "send_seq addr1 data1 delay [us] addr2 data2\n"
                             " example: send_seq 0x01 0x55 300 0x01 0xAA\n";
const char kHelpTextOther[] =
    "PIN_name [= 0|1]\nvout(0)\ntemp\ni2c_collision(a,b,c,d)\npoll(0|1)  poll()\n"
    "echo text\nexpect(name, value)  expect(name, low..high)\nidentify\nstatus [key ...]\nfields\n"
    "save_registers(file)  load_registers(file)  export_registers(file)\n"
    "record(file)  record()\nscript_file [arguments]\n";

namespace {

constexpr const char *kNoAck = "I2C : NO ACK";
constexpr const char *kUsbError = "USB ERROR";
constexpr int kMaxWaitMs = 10000;
constexpr int kWaitSliceMs = 10;

// The load-current readout: select a buck in R_SEL_I_LOAD, let the chip
// settle, read R_LOAD_CURR (10 mA per step).
constexpr uint8_t kSelectLoadRegister = rx5120::reg::kSelILoad;
constexpr uint8_t kLoadCurrentRegister = rx5120::reg::kLoadCurr;
constexpr int kLoadSettleMs = 5;

// The bus test's registers (the six PFM level registers) and its size.
constexpr int kTestFirstRegister = rx5120::reg::kPfmLev0;
constexpr int kTestLastRegister = rx5120::reg::kPfmLev0 + 5;
constexpr int kTestPasses = 10;
constexpr int kTestPairs = kTestPasses * (kTestLastRegister - kTestFirstRegister + 1) * 256;

// send_seq: steps are stored while fewer than this many bytes are.
constexpr size_t kSequenceStepLimit = 200;
constexpr uint8_t kStepWrite = rx5120::step::kWrite;
constexpr uint8_t kStepDelay = rx5120::step::kDelay;
constexpr int kMaxDelayUs = 50000;

bool has_prefix(const char *line, const char *prefix) {
    return strncmp(line, prefix, strlen(prefix)) == 0;
}

QString hex2(int value) {
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0'));
}

} // namespace

std::optional<QString> call_argument(const char *line, const char *keyword) {
    const size_t n = strlen(keyword);
    if (strncmp(line, keyword, n) != 0 || line[n] != '(')
        return std::nullopt;
    const QString rest = QString::fromLocal8Bit(line + n + 1).trimmed();
    if (!rest.endsWith(QLatin1Char(')')))
        return std::nullopt;
    return rest.chopped(1).trimmed();
}

// The order matters: a line that begins with a register name is always a
// register expression (TEMP is a field, temp the board temperature), and
// keywords match as prefixes (testing selects the test level).
const CommandInterpreter::Command CommandInterpreter::kCommands[] = {
    {"register expression", &CommandInterpreter::register_expression},
    {"io pin", &CommandInterpreter::io_pin},
    {"page", &CommandInterpreter::page},
    {"wait", &CommandInterpreter::wait},
    {"advanced", &CommandInterpreter::mode_advanced},
    {"test", &CommandInterpreter::mode_test},
    {"user", &CommandInterpreter::mode_user},
    {"debug", &CommandInterpreter::mode_debug},
    {"vout", &CommandInterpreter::vout},
    {"iout", &CommandInterpreter::iout},
    {"i2c_bus", &CommandInterpreter::i2c_bus},
    {"i2c_collision", &CommandInterpreter::i2c_collision},
    {"help", &CommandInterpreter::help},
    {"i2c_test", &CommandInterpreter::i2c_test},
    {"i2c_addr", &CommandInterpreter::i2c_addr},
    {"send_seq", &CommandInterpreter::send_seq},
    {"temp", &CommandInterpreter::temp},
    {"poll", &CommandInterpreter::poll},
    {"echo", &CommandInterpreter::echo},
    {"save_registers", &CommandInterpreter::save_registers},
    {"export_registers", &CommandInterpreter::export_registers},
    {"load_registers", &CommandInterpreter::load_registers},
    {"record", &CommandInterpreter::record},
    {"expect", &CommandInterpreter::expect},
    {"identify", &CommandInterpreter::identify},
    {"status", &CommandInterpreter::status},
    {"fields", &CommandInterpreter::fields},
};

CommandInterpreter::CommandInterpreter(ConsoleHost &host, evalpanel::DeviceSession &session,
                                       evalpanel::Workbench &workbench, ConsoleDocument &document)
    : tap_(host), host_(tap_), session_(session), workbench_(workbench), document_(document) {}

bool CommandInterpreter::parse_cmd(const char *line) {
    if (!line)
        line = "";
    trace("parse_cmd() : %s", line);
    failure_ = QString();
    mismatched_ = false;
    if (line[0] != '\0') {
        int result = -1;
        tap_.last = QString();
        for (const Command &command : kCommands) {
            result = (this->*command.handle)(line);
            if (result != -1)
                break;
        }
        if (result == -1)
            result = fail(QStringLiteral("Syntax error"));
        if (result == 0)
            failure_ = tap_.last.isNull() ? QStringLiteral("") : tap_.last;
    }
    host_.refresh_display();
    return failure_.isNull();
}

int CommandInterpreter::transfer_failed() {
    return fail(QString::fromLatin1(session_.have_adapter() ? kNoAck : kUsbError));
}

int CommandInterpreter::register_expression(const char *line) {
    return reg_expression(host_, session_, line);
}

int CommandInterpreter::io_pin(const char *line) {
    char name[65];
    int value = 0;
    const int read = sscanf(line, "%64[-a-zA-Z0-9_]%*[ =]%d", name, &value);
    if (read < 1 || !has_prefix(name, "PIN_"))
        return -1;
    char definition[evalpanel::kLineSize];
    if (evalpanel::find_io_pin_by_name(name, definition, sizeof definition) < 0)
        return -1;
    char port = 0, access = 0;
    int pin = 0;
    if (sscanf(definition, "io_pin(%*[^,],P%c%d,%c", &port, &pin, &access) != 3)
        return -1;
    const int group = port - 'A';
    trace("%s, pingroup = %d, pin = %d, access : %c", definition, group, pin, access);

    if (read == 1) { // query
        session_.poll();
        // The poll's level only when the poll itself came back; otherwise
        // the adapter is asked for the pin, so that a level is never one
        // from before or a made-up 0.
        int level = -1;
        if (session_.have_adapter())
            level = session_.status_fresh() ? session_.pin_level(group, pin)
                                            : session_.read_pin_level(group, pin);
        if (level == -1)
            return fail(QString::fromLatin1(kUsbError));
        host_.append_command_log(QString::fromLatin1(name));
        print(QString::asprintf("%s = %d", name, level));
        return 1;
    }
    if (access == 'R')
        return fail(QStringLiteral("This is read-only pin."));
    const int level = value != 0 ? 1 : 0;
    host_.append_command_log(QString::asprintf("%s = %d", name, level));
    if (session_.write_pin(group, pin, level) != 1)
        return fail(QString::fromLatin1(kUsbError));
    // The adapter acknowledges a pin command it refused as one it carried
    // out: the level read back tells.
    if (session_.read_pin_level(group, pin) != level)
        return fail(QString::fromLatin1(kUsbError));
    session_.poll();
    return 1;
}

int CommandInterpreter::page(const char *line) {
    if (has_prefix(line, "page()")) {
        const int page = session_.register_read(rx5120::reg::kPage);
        if (page < 0)
            return transfer_failed();
        print(QString::asprintf("page %d", page));
        return 1;
    }
    char open = 0;
    int number = 0;
    if (sscanf(line, "page%c%d", &open, &number) != 2 || open != '(')
        return -1;
    if (number < 0 || number > 6)
        return fail(QStringLiteral("illegal page number"));
    if (session_.switch_page(static_cast<uint8_t>(number)) != 1)
        return transfer_failed();
    print(QString::asprintf("switched to page %d", number));
    return 1;
}

int CommandInterpreter::wait(const char *line) {
    char open = 0;
    int ms = 0;
    const int read = sscanf(line, "wait%c%d)", &open, &ms);
    if (read < 1 || open != '(')
        return -1;
    // Without a number, or with a negative one, there is nothing sensible to
    // wait for: say so instead of blocking for an arbitrary time.
    if (read < 2)
        return fail(QStringLiteral("wait needs a delay in ms: wait(time)"));
    if (ms < 0)
        return fail(QStringLiteral("minimum delay is 0 ms"));
    if (ms > kMaxWaitMs)
        return fail(QStringLiteral("maximum delay is 10000 ms"));
    print(QString::asprintf("wait for %d ms", ms));
    // In slices, so that a stop request ends the wait within one of them;
    // the status poll goes on meanwhile when it is on.
    for (int left = ms; left > 0; left -= kWaitSliceMs) {
        host_.sleep_ms(left < kWaitSliceMs ? left : kWaitSliceMs);
        if (interrupt_ != nullptr && interrupt_->check())
            break;
        session_.poll_if_due();
    }
    return 1;
}

int CommandInterpreter::access_mode(const char *line, const char *keyword, int level,
                                    const char *message) {
    if (!has_prefix(line, keyword))
        return -1;
    if (session_.set_access_mode(level) < 0)
        return transfer_failed();
    print(QString::fromLatin1(message));
    return 1;
}

int CommandInterpreter::mode_advanced(const char *line) {
    return access_mode(line, "advanced", 1, "switched to advanced user mode");
}
int CommandInterpreter::mode_test(const char *line) {
    return access_mode(line, "test", 3, "switched to test mode");
}
int CommandInterpreter::mode_user(const char *line) {
    return access_mode(line, "user", 0, "switched to user mode");
}
int CommandInterpreter::mode_debug(const char *line) {
    return access_mode(line, "debug", 2, "switched to debug mode");
}

int CommandInterpreter::vout(const char *line) {
    char open = 0;
    int buck = 6; // "vout(" alone means a buck that has no readout
    if (sscanf(line, "vout%c%d)", &open, &buck) < 1 || open != '(')
        return -1;
    if (buck > 0)
        return fail(QStringLiteral("choose buck 0."));
    session_.poll();
    if (buck < 0)
        return fail(QStringLiteral("not available"));
    // A reading only from a poll the chip answered: 0.00 V would be a
    // made-up value.
    if (!session_.status_fresh() || session_.connection_state() != evalpanel::kConnected)
        return transfer_failed();
    print(QString::asprintf("Buck5 voltage : %1.2f V", session_.adc_read(1, 1, 2.5, 10, 1.0)));
    return 1;
}

int CommandInterpreter::iout(const char *line) {
    char open = 0;
    int buck = 6;
    if (sscanf(line, "iout%c%d)", &open, &buck) < 1 || open != '(')
        return -1;
    if (buck < 0 || buck > 5)
        return fail(QStringLiteral("choose buck 0-5."));
    // Without the buck selected the current read would be another buck's.
    if (session_.register_write(kSelectLoadRegister, static_cast<uint8_t>(buck)) != 1)
        return transfer_failed();
    host_.sleep_ms(kLoadSettleMs);
    const int current = session_.register_read(kLoadCurrentRegister);
    // A failed read has no current to show (the device layer logged it).
    if (current < 0)
        return transfer_failed();
    print(QString::asprintf("Buck %d load current : %d mA", buck, current * 10));
    return 1;
}

int CommandInterpreter::i2c_bus(const char *line) {
    if (has_prefix(line, "i2c_bus(vt)")) {
        if (session_.select_i2c_bus(1) < 0)
            return fail(QString::fromLatin1(kUsbError));
        print(QStringLiteral("i2c bus : Ventra"));
        return 1;
    }
    if (has_prefix(line, "i2c_bus(sys)")) {
        if (session_.select_i2c_bus(0) < 0)
            return fail(QString::fromLatin1(kUsbError));
        print(QStringLiteral("i2c bus : System"));
        return 1;
    }
    if (has_prefix(line, "i2c_bus()")) {
        print(session_.bus() == 0 ? QStringLiteral("selected i2c bus : system")
                                  : QStringLiteral("selected i2c bus : Ventra"));
        return 1;
    }
    return -1;
}

int CommandInterpreter::i2c_collision(const char *line) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (sscanf(line, "i2c_collision(%x,%x,%x,%x)", &a, &b, &c, &d) != 4 &&
        sscanf(line, "i2c_collision(%xh,%xh,%xh,%xh)", &a, &b, &c, &d) != 4)
        return -1;
    print(QString::asprintf("%02x %02x %02x %02x", a, b, c, d));
    return 1;
}

int CommandInterpreter::help(const char *line) {
    // Every command: help and help -qv alike.
    if (has_prefix(line, "help")) {
        print(QString::fromLatin1(kHelpText));
        print(QString::fromLatin1(kHelpTextMore));
        print(QString::fromLatin1(kHelpTextOther));
        return 1;
    }
    return -1;
}

// Writes every value to each PFM level register and reads it back. The
// output goes straight into the console: a passing step erases its own
// "write 0x.." again, so only failures stay on screen.
int CommandInterpreter::i2c_test(const char *line) {
    if (!has_prefix(line, "i2c_test"))
        return -1;
    const int64_t start = host_.tick_ms();
    int errors = 0;
    for (int pass = 0; pass < kTestPasses; ++pass) {
        for (int reg = kTestFirstRegister; reg <= kTestLastRegister; ++reg) {
            document_.append_paragraph(
                QStringLiteral("Write/read test to register 0x%1:\n").arg(hex2(reg)));
            for (int value = 0; value < 256; ++value) {
                const QString step = QStringLiteral("write 0x%1").arg(hex2(value));
                document_.move_to_end();
                document_.insert_text(step);
                if (interrupt_ != nullptr && interrupt_->requested())
                    return 1;
                session_.register_write(static_cast<uint8_t>(reg), static_cast<uint8_t>(value));
                const int read = session_.register_read(static_cast<uint8_t>(reg));
                if (read < 0) {
                    document_.append_paragraph(QStringLiteral("NACK\n"));
                    ++errors;
                } else if ((read & 0xFF) == value) {
                    document_.move_to_end();
                    document_.delete_before(static_cast<int>(step.size()));
                } else {
                    document_.append_paragraph(
                        QStringLiteral("error : wrote %1, read %2\n").arg(hex2(value), hex2(read)));
                    ++errors;
                }
            }
        }
    }
    const double seconds = static_cast<double>(host_.tick_ms() - start) / 1000.0;
    document_.append_paragraph(QStringLiteral("%1 errors in %2 seconds / %3 read/write pairs")
                                   .arg(errors)
                                   .arg(seconds)
                                   .arg(kTestPairs));
    if (errors == 0) {
        document_.append_paragraph(QStringLiteral("OK"));
        return 1;
    }
    tap_.last = QStringLiteral("i2c_test: %1 errors").arg(errors);
    return 0;
}

int CommandInterpreter::i2c_addr(const char *line) {
    unsigned address = 0;
    if (sscanf(line, "i2c_addr(0x%02x)", &address) != 1 || address > 0x7F)
        return -1;
    session_.set_i2c_address(static_cast<uint8_t>(address));
    return 1;
}

// Builds an adapter sequence from register writes ("0x01 0x55" or "01h 55h")
// and delays in microseconds ("300"). It is traced, not sent.
int CommandInterpreter::send_seq(const char *line) {
    if (!has_prefix(line, "send_seq"))
        return -1;
    trace("lkjlkjlkjkljjk");
    std::vector<uint8_t> steps;
    const char *p = line + strlen("send_seq");
    while (steps.size() < kSequenceStepLimit) {
        unsigned reg = 0, data = 0;
        int used = 0;
        if ((sscanf(p, " 0x%02x 0x%02x%n", &reg, &data, &used) == 2 ||
             sscanf(p, " %02xh %02xh%n", &reg, &data, &used) == 2) &&
            used > 0) {
            steps.insert(steps.end(),
                         {kStepWrite, static_cast<uint8_t>(reg), static_cast<uint8_t>(data)});
            p += used;
            continue;
        }
        int delay = 0;
        used = 0;
        if (sscanf(p, "%d%n", &delay, &used) == 1 && used > 0) {
            // Tenths of a microsecond on the adapter's side.
            const int ticks = delay < 0 ? 0 : delay > kMaxDelayUs ? kMaxDelayUs * 10 : delay * 10;
            steps.insert(steps.end(),
                         {kStepDelay, static_cast<uint8_t>(ticks), static_cast<uint8_t>(ticks >> 8),
                          static_cast<uint8_t>(ticks >> 16)});
            p += used;
            continue;
        }
        break;
    }
    if (steps.empty())
        return -1;

    std::vector<uint8_t> sequence{
        rx5120::step::kDevice, session_.device_address(),
        static_cast<uint8_t>((session_.speed_a() & 1) | ((session_.speed_b() & 1) << 1))};
    sequence.insert(sequence.end(), steps.begin(), steps.end());
    sequence.insert(sequence.end(), {rx5120::step::kEnd, rx5120::step::kEnd, rx5120::step::kEnd});
    host_.append_command_log(QString::fromLatin1(p));
    for (uint8_t byte : sequence)
        trace("0x%02x", byte);
    last_sequence_ = std::move(sequence);
    return 1;
}

void CommandInterpreter::look_for_board_sensor() {
    // The sensor sits on VIOSYS: powered by a pin write after connecting,
    // it is looked for now, as ticking "Assert VIOSYS" does.
    if (session_.have_adapter() && !session_.board_sensor_present() &&
        session_.pin_level(rx5120::pin::kGroupA, rx5120::pin::kVioSys) == 1) {
        session_.probe_board_sensor();
        session_.poll();
    }
}

int CommandInterpreter::temp(const char *line) {
    if (!has_prefix(line, "temp"))
        return -1;
    session_.poll();
    if (!session_.have_adapter())
        return fail(QString::fromLatin1(kUsbError));
    look_for_board_sensor();
    print(evalpanel::board_temperature_display(
        session_.status(), session_.status_fresh(),
        session_.pin_level(rx5120::pin::kGroupA, rx5120::pin::kVioSys) == 1,
        session_.board_sensor_present()));
    return 1;
}

// poll(1) and poll(0) tick and untick "Poll Status" as a click does; poll()
// tells which it is.
int CommandInterpreter::poll(const char *line) {
    if (has_prefix(line, "poll()")) {
        print(session_.polling() ? QStringLiteral("poll status : on")
                                 : QStringLiteral("poll status : off"));
        return 1;
    }
    if (has_prefix(line, "poll(1)") || has_prefix(line, "poll(0)")) {
        const bool on = line[5] == '1';
        // Polling needs an adapter: without one it would say "on" and poll
        // nothing.
        if (on && !session_.have_adapter())
            return fail(QStringLiteral("USB ERROR: cannot poll, no adapter (%1)")
                            .arg(session_.open_failure().isEmpty() ? session_.open_result()
                                                                   : session_.open_failure()));
        session_.set_polling(on);
        return 1;
    }
    return -1;
}

// Prints its text: a program sends it after its commands, and once it comes
// back, everything before it has been done.
int CommandInterpreter::echo(const char *line) {
    if (!has_prefix(line, "echo") || (line[4] != '\0' && line[4] != ' '))
        return -1;
    print(QString::fromLatin1(line[4] == ' ' ? line + 5 : line + 4));
    return 1;
}

} // namespace console
