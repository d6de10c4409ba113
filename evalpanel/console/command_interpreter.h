// The console's command language. parse_cmd offers a line to a fixed chain of
// handlers; the first that recognises it carries it out and prints its own
// messages, a line nobody recognises prints "Syntax error", and after every
// line the status bar and the register-bound controls are refreshed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <QString>

#include "console/console_document.h"
#include "console/console_host.h"
#include "console/interrupt.h"

namespace evalpanel {
class DeviceSession;
struct SaveResult;
class Workbench;
} // namespace evalpanel

namespace console {

// The help texts, printed as one message each: the first at start-up, all
// three by help.
extern const char kHelpText[];
extern const char kHelpTextMore[];
extern const char kHelpTextOther[];

// The text between "keyword(" and the last ")", trimmed; nullopt when the
// line is not that call.
std::optional<QString> call_argument(const char *line, const char *keyword);

class CommandInterpreter {
  public:
    // The console document takes the bus test's output directly (it is not
    // mirrored to a network client).
    CommandInterpreter(ConsoleHost &host, evalpanel::DeviceSession &session,
                       evalpanel::Workbench &workbench, ConsoleDocument &document);

    // Carries out one command line. False when it failed: not recognised,
    // a bad value, a transfer that failed, a read-only pin, an expect that
    // did not match; failure() then holds what it printed last.
    bool parse_cmd(const char *line);
    bool succeeded() const { return failure_.isNull(); }
    const QString &failure() const { return failure_; }
    // The last command was an expect that read its value and found another
    // one (not one that could not read or compare).
    bool mismatched() const { return mismatched_; }

    // What one expect found: `compared` false when it could not compare (a
    // bad name or value, a failed transfer); `failure` null when it passed.
    struct Check {
        bool compared = false;
        QString failure;
        double seconds = 0;
    };
    // Told of every expect that ran (batch mode counts and reports them).
    void set_check_observer(std::function<void(const Check &)> observer) {
        check_observer_ = std::move(observer);
    }

    // The help command on its own (the start-up help text).
    int help(const char *line);

    // Looked at by wait and the bus test between their steps: a stop
    // request ends them early.
    void set_interrupt(Interrupt *interrupt) { interrupt_ = interrupt; }

    // Bytes of the sequence the last send_seq built (header, steps,
    // terminator).
    const std::vector<uint8_t> &last_sequence() const { return last_sequence_; }

    // Handlers: each gives -1 to pass the line on, 1 when it handled the
    // line, 0 when it handled it and failed.
    using Handler = int (CommandInterpreter::*)(const char *line);
    struct Command {
        const char *name;
        Handler handle;
    };

  private:
    int register_expression(const char *line);
    int io_pin(const char *line);
    int page(const char *line);
    int wait(const char *line);
    int mode_advanced(const char *line);
    int mode_test(const char *line);
    int mode_user(const char *line);
    int mode_debug(const char *line);
    int vout(const char *line);
    int iout(const char *line);
    int i2c_bus(const char *line);
    int i2c_collision(const char *line);
    int i2c_test(const char *line);
    int i2c_addr(const char *line);
    int send_seq(const char *line);
    int temp(const char *line);
    int poll(const char *line);
    int echo(const char *line);
    int save_registers(const char *line);
    int export_registers(const char *line);
    // Either of the two above: FILE from `line`, written by `write`.
    int write_registers_file(const char *line, const char *name, const char *done,
                             evalpanel::SaveResult (*write)(evalpanel::DeviceSession &,
                                                            const QString &));
    int load_registers(const char *line);
    int record(const char *line);
    int expect(const char *line);
    // expect's comparison; *compared tells whether it got that far.
    int compare_expected(const QString &argument, bool *compared);
    int compare_status(const QString &name, const QString &low, const QString &high,
                       bool *compared);
    int identify(const char *line);
    int status(const char *line);
    int fields(const char *line);

    // Probes the board sensor when VIOSYS is up and it was not found.
    void look_for_board_sensor();
    int access_mode(const char *line, const char *keyword, int level, const char *message);
    void print(const QString &text) { host_.console_print(text); }
    // Prints a failure; the handler's result.
    int fail(const QString &text) {
        print(text);
        return 0;
    }
    // A transfer failed: the adapter is gone, or the chip did not answer.
    int transfer_failed();

    static const Command kCommands[];

    // The host as the handlers see it: it keeps the last printed message,
    // which is what a failed command said.
    class Tap : public ConsoleHost {
      public:
        explicit Tap(ConsoleHost &host) : host_(host) {}
        void console_print(const QString &text) override {
            last = text;
            host_.console_print(text);
        }
        void append_command_log(const QString &line) override { host_.append_command_log(line); }
        void refresh_display() override { host_.refresh_display(); }
        void sleep_ms(int ms) override { host_.sleep_ms(ms); }
        int64_t tick_ms() override { return host_.tick_ms(); }
        QString last;

      private:
        ConsoleHost &host_;
    };

    Tap tap_;
    ConsoleHost &host_;
    evalpanel::DeviceSession &session_;
    evalpanel::Workbench &workbench_;
    ConsoleDocument &document_;
    std::vector<uint8_t> last_sequence_;
    QString failure_;
    bool mismatched_ = false;
    std::function<void(const Check &)> check_observer_;
    Interrupt *interrupt_ = nullptr;
};

} // namespace console
