// The window around the console, as a recorder: what was printed, logged and
// refreshed, with a fake clock and sleep. It also stands in for the device
// layer's host, so the command log holds the layer's own lines too.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QString>
#include <QStringList>

#include "console/console_document.h"
#include "console/console_host.h"
#include "registers/device_access.h"

class RecorderHost : public console::ConsoleHost, public evalpanel::DeviceHost {
  public:
    QStringList printed;
    QStringList log;
    int refreshes = 0;
    int polls = 0;
    int events_processed = 0;
    int bus_selector = -1;
    int address_selector = 0;
    std::vector<int> sleeps;
    int64_t clock_ms = 0;
    QString board_temp = QStringLiteral("25.0 \u00b0C");
    QString clipboard;
    struct AdcCall {
        int unit, channel;
        double a;
        int shift;
        double b;
    };
    std::vector<AdcCall> adc_calls;
    double adc_value = 1.234;
    // When set, printed messages also land in this document, as in the window.
    console::ConsoleDocument *screen = nullptr;
    // Runs inside process_events, as pending GUI events would.
    std::function<void()> on_process_events;
    // Lets the (simulated) world move on while a command sleeps.
    std::function<void(int ms)> on_sleep;

    // ConsoleHost
    void console_print(const QString &text) override {
        printed << text;
        if (screen)
            screen->append_paragraph(text);
    }
    void append_command_log(const QString &line) override { log << line; }
    void refresh_display() override { ++refreshes; }
    void timer_func() override {
        ++polls;
        evalpanel::DeviceState &device = evalpanel::device();
        device.echo = false;
        evalpanel::run_status_script();
        device.echo = true;
    }
    double adc_read(int unit, int channel, double a, int shift, double b) override {
        adc_calls.push_back({unit, channel, a, shift, b});
        return adc_value;
    }
    void set_bus_selector_index(int index) override { bus_selector = index; }
    void process_events() override {
        ++events_processed;
        if (on_process_events)
            on_process_events();
    }
    QString board_temp_text() const override { return board_temp; }
    QString clipboard_text() const override { return clipboard; }
    void sleep_ms(int ms) override {
        sleeps.push_back(ms);
        clock_ms += ms;
        if (on_sleep)
            on_sleep(ms);
    }
    int64_t tick_ms() override { return clock_ms += 250; }

    // DeviceHost
    bool has_command_log() const override { return true; }
    void stop_poll_timer() override {}
    void start_reconnect_timer(int) override {}
    void set_address_selector_index(int index) override { address_selector = index; }
    int address_selector_index() const override { return address_selector; }
    void run_status_poll() override { timer_func(); }
};
