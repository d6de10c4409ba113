// The virtual kit opened the way the program opens it (a DeviceSession's
// connection sequence, then the chip's supply), and a window stand-in for the
// console. Targets that drive the console or the field access start every
// input from here.
#pragma once

#include <cstdint>
#include <string>

#include <QString>

#include "console/console_host.h"
#include "device/device_session.h"
#include "device/workbench.h"
#include "fuzz_support.h"

namespace fuzzkit {

// Sleeping moves the kit's manual clock, never the wall clock.
class KitHost : public console::ConsoleHost {
  public:
    int refreshes = 0;
    void console_print(const QString &text) override { (void)text.toUtf8(); }
    void append_command_log(const QString &line) override { (void)line.toUtf8(); }
    void refresh_display() override { ++refreshes; }
    void sleep_ms(int ms) override;
    int64_t tick_ms() override { return clock_ms_ += 10; }

  private:
    int64_t clock_ms_ = 0;
};

// One control line of the kit; its whole answer.
std::string kit(const std::string &line);

// A session on the kit, reset and on its manual clock, connected and with the
// chip powered (aborts when the kit cannot be opened: a broken build, not an
// input). The session closes the adapter when it goes.
struct KitSession {
    evalpanel::DeviceSession session;
    evalpanel::Workbench workbench{session};
    KitSession();
};

} // namespace fuzzkit
