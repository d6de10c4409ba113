// A test fixture with the virtual kit opened by a DeviceSession through the
// real adapter library, the chip powered and on the system bus, and the
// console's interpreter on top, printing into a recorder. The session's own
// command log lines land in the recorder's log too, as in the window.
#pragma once

#include <string>

#include <QObject>
#include <gtest/gtest.h>

#include "../virtualkit/kit_lines.h"
#include "bridgeio.h"
#include "chip/rx5120.h"
#include "console/command_interpreter.h"
#include "device/device_session.h"
#include "device/workbench.h"
#include "fake_document.h"
#include "recorder_host.h"

class ConsoleKitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        // The kit's time moves only when a command sleeps (or a test says so).
        kit("clock manual");
        host.on_sleep = [](int ms) { kit("advance " + std::to_string(ms)); };
        QObject::connect(&session, &evalpanel::DeviceSession::log_line,
                         [this](const QString &line) { host.log << line; });
        session.connect_adapter(); // the chip has no supply yet: it does not answer
        ASSERT_TRUE(session.have_adapter());
        // "Assert VIOSYS" powers the chip and brings it up.
        ASSERT_EQ(session.write_box_pin(rx5120::pin::kGroupA, rx5120::pin::kVioSys, 1, true), 1);
        ASSERT_EQ(session.connection_state(), evalpanel::kConnected);
        ASSERT_TRUE(session.registers_valid());
        host.printed.clear();
        host.log.clear();
        host.refreshes = 0;
    }


    // Enables Buck5 (a single-phase converter), releases NRST and lets the
    // power-up sequence finish.
    void power_up_buck5() {
        interpreter.parse_cmd("EN_DIS_B5 = 1");
        interpreter.parse_cmd("PIN_NRST = 1");
        kit("advance 1000");
    }

    // Runs one line and gives what it printed.
    QStringList run(const char *line) {
        host.printed.clear();
        interpreter.parse_cmd(line);
        return host.printed;
    }

    RecorderHost host;
    FakeDocument doc;
    evalpanel::DeviceSession session;
    evalpanel::Workbench workbench{session};
    console::CommandInterpreter interpreter{host, session, workbench, doc};
};
