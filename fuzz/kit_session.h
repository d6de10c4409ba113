// The virtual kit opened as the program opens it (a DeviceSession's connection,
// then the chip's supply), and a window stand-in for the console.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QString>

#include "chip/rx5120.h"
#include "console/console_host.h"
#include "device/device_session.h"
#include "device/workbench.h"
#include "fuzz_support.h"
#include "kit_control.h"

namespace fuzzkit {

// One control line of the kit; its whole answer.
inline std::string kit(const std::string &line) {
    char reply[4096] = {};
    kit_control(line.c_str(), reply, sizeof reply);
    return reply;
}

// Sleeping moves the kit's manual clock, never the wall clock.
class KitHost : public console::ConsoleHost {
  public:
    int refreshes = 0;
    void console_print(const QString &text) override { (void)text.toUtf8(); }
    void append_command_log(const QString &line) override { (void)line.toUtf8(); }
    void refresh_display() override { ++refreshes; }
    void sleep_ms(int ms) override {
        clock_ms_ += ms;
        kit("advance " + std::to_string(ms < 0 ? 0 : ms));
    }
    int64_t tick_ms() override { return clock_ms_ += 10; }

  private:
    int64_t clock_ms_ = 0;
};

// A session on the kit, reset, on its manual clock, connected and the chip powered
// (aborts when the kit does not open: a broken build, not an input).
struct KitSession {
    evalpanel::DeviceSession session;
    evalpanel::Workbench workbench{session};
    KitSession() {
        enable_traces();
        kit("reset");
        kit("clock manual");
        session.connect_adapter();
        if (!session.have_adapter())
            fail("the virtual kit did not open");
        session.write_pin(rx5120::pin::kGroupA, rx5120::pin::kVioSys, 1); // the chip's supply
    }
};

} // namespace fuzzkit
