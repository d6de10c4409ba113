// The console's command language. parse_cmd offers a line to a fixed chain of
// handlers; the first that recognises it carries it out and prints its own
// messages, a line nobody recognises prints "Syntax error", and after every
// line the status bar and the register-bound controls are refreshed.
#pragma once

#include <cstdint>
#include <vector>

#include "console/console_document.h"
#include "console/console_host.h"
#include "console/interrupt.h"

namespace evalpanel {
class DeviceSession;
class Workbench;
} // namespace evalpanel

namespace console {

// The two help texts, printed as one message each.
extern const char kHelpText[];
extern const char kHelpTextMore[];

class CommandInterpreter {
  public:
    // The console document takes the bus test's output directly (it is not
    // mirrored to a network client).
    CommandInterpreter(ConsoleHost &host, evalpanel::DeviceSession &session,
                       evalpanel::Workbench &workbench, ConsoleDocument &document);

    // Carries out one command line.
    void parse_cmd(const char *line);

    // The help command on its own (the start-up help text).
    int help(const char *line);

    // Looked at by wait and the bus test between their steps: a stop
    // request ends them early.
    void set_interrupt(Interrupt *interrupt) { interrupt_ = interrupt; }

    // Bytes of the sequence the last send_seq built (header, steps,
    // terminator).
    const std::vector<uint8_t> &last_sequence() const { return last_sequence_; }

    // Handlers: each gives -1 to pass the line on, anything else when it
    // handled the line.
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
    int load_registers(const char *line);
    int record(const char *line);

    int access_mode(const char *line, const char *keyword, int level, const char *message);
    void print(const QString &text) { host_.console_print(text); }

    static const Command kCommands[];

    ConsoleHost &host_;
    evalpanel::DeviceSession &session_;
    evalpanel::Workbench &workbench_;
    ConsoleDocument &document_;
    std::vector<uint8_t> last_sequence_;
    Interrupt *interrupt_ = nullptr;
};

} // namespace console
