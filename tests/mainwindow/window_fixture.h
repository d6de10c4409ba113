// The whole main window on the virtual kit: the real adapter library, device
// layer and console underneath, the kit's control language on the side to
// change the hardware behind the program's back. The kit runs on its manual
// clock, so buck state machines move only when a test advances them.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPalette>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bridgeio.h"
#include "form.h"
#include "kit_control.h"
#include "mainwindow.h"
#include "registers/device_access.h"

// One control line of the kit; its answer without the closing "ok".
inline std::string kit(const std::string &line) {
    char reply[4096] = {};
    EXPECT_EQ(kit_control(line.c_str(), reply, sizeof reply), 0) << line << ": " << reply;
    std::string text = reply;
    const size_t ok = text.rfind("ok\n");
    return ok == std::string::npos ? text : text.substr(0, ok);
}

inline QColor rgb(const Rgb &c) {
    return QColor(c.red, c.green, c.blue);
}

class WindowTest : public testing::Test {
  protected:
    void SetUp() override {
        evalpanel::reset_device();
        kit("reset");
        kit("clock manual");
    }

    void TearDown() override {
        window.reset();
        evalpanel::DeviceState &s = evalpanel::device();
        if (s.handle != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(s.handle);
        evalpanel::reset_device();
    }

    void open_window() { window = std::make_unique<MainWindow>(); }
    // Opens the window and switches the chip on the way a user does.
    void open_powered() {
        open_window();
        ui().io0022->click();
        ASSERT_EQ(state(), evalpanel::kConnected);
    }

    Ui::MainWindow &ui() { return *window->form(); }
    int state() const { return evalpanel::device().connection_state; }
    uint8_t cache(int reg) const { return evalpanel::device().register_cache[reg]; }

    int chip_register(int page, int address) {
        char line[32];
        std::snprintf(line, sizeof line, "reg %x %02x", page, address);
        unsigned value = 0;
        EXPECT_EQ(std::sscanf(kit(line).c_str(), "0x%x", &value), 1);
        return static_cast<int>(value);
    }
    void set_chip_register(int page, int address, int value) {
        char line[32];
        std::snprintf(line, sizeof line, "reg %x %02x %02x", page, address, value);
        kit(line);
    }
    int kit_pin(int group, int pin) {
        return std::stoi(kit("pin " + std::to_string(group) + " " + std::to_string(pin)));
    }

    QStringList log_lines() { return ui().registerlog->toPlainText().split(QLatin1Char('\n')); }
    QString last_log_line() { return log_lines().constLast(); }

    QColor base_colour(QLineEdit *edit) { return edit->palette().color(QPalette::Base); }
    QColor connection_colour() {
        return window->connection_label()->palette().color(QPalette::Window);
    }

    // Picks a selector item as a user does (the handler runs on activated).
    void choose(QComboBox *combo, int index) {
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }

    std::unique_ptr<MainWindow> window;
};
