// A test fixture with the virtual kit opened through the real adapter
// library and the device layer, the chip powered and on the system bus, and
// the console's interpreter on top, printing into a recorder.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "../virtualkit/kit_lines.h"
#include "bridgeio.h"
#include "console/command_interpreter.h"
#include "fake_document.h"
#include "recorder_host.h"
#include "registers/device_access.h"

class ConsoleKitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        evalpanel::reset_device();
        kit("reset");
        // The kit's time moves only when a command sleeps (or a test says so).
        kit("clock manual");
        host.on_sleep = [](int ms) { kit("advance " + std::to_string(ms)); };
        unsigned vendor = 0, product = 0;
        std::string identity = kit("identity");
        ASSERT_EQ(sscanf(identity.c_str(), "0x%x 0x%x", &vendor, &product), 2) << identity;
        evalpanel::DeviceState &device = evalpanel::device();
        device.host = &host;
        device.handle = usb_hid_init(static_cast<int>(vendor), static_cast<int>(product));
        ASSERT_NE(device.handle, BRIDGEIO_INVALID_HANDLE);
        start_firmware(device.handle);
        load_script(device.handle, device.status_script.data(), 0,
                    static_cast<uint32_t>(device.status_script.size()));
        evalpanel::select_i2c_bus(0);
        // VIOSYS powers the chip; the sensor probe then finds the board sensor.
        evalpanel::write_pin(0, 22, 1);
        evalpanel::probe_board_sensor();
        evalpanel::switch_page(0);
        evalpanel::set_access_mode(1);
        host.printed.clear();
        host.log.clear();
        host.polls = 0;
        host.refreshes = 0;
    }

    void TearDown() override {
        evalpanel::DeviceState &device = evalpanel::device();
        if (device.handle != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(device.handle);
        evalpanel::reset_device();
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
    console::CommandInterpreter interpreter{host, doc};
};
