// The virtual kit opened as the program opens it (a DeviceSession's connection,
// then the chip's supply), and a window stand-in for the console.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QString>

#include "../tests/console/recorder_host.h"
#include "chip/rx5120.h"
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

// The unit tests' recorder; sleeping moves the kit's manual clock, never the wall clock.
struct KitHost : RecorderHost {
    KitHost() { on_sleep = [](int ms) { kit("advance " + std::to_string(ms < 0 ? 0 : ms)); }; }
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
