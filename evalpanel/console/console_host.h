// What the console's interpreter needs around it besides the device
// session. The console engine implements it on the device thread by sending
// signals to the GUI; tests implement it with a recorder.
#pragma once

#include <cstdint>

#include <QString>

namespace console {

class ConsoleHost {
  public:
    virtual ~ConsoleHost() = default;

    // Prints one message as a new paragraph of the console and mirrors it,
    // with a "\n", to a connected network client.
    virtual void console_print(const QString &text) = 0;
    // Appends one line to the command log.
    virtual void append_command_log(const QString &line) = 0;
    // Refreshes the status bar (write_statusbar(0, 0, read)) and then every
    // register-bound control (update_display).
    virtual void refresh_display() = 0;
    // Blocks for a number of milliseconds without handling events.
    virtual void sleep_ms(int ms) = 0;
    // A millisecond tick count for timing.
    virtual int64_t tick_ms() = 0;
};

} // namespace console
