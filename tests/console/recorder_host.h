// The window around the console, as a recorder: what was printed, logged and
// refreshed, with a fake clock and sleep.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QString>
#include <QStringList>

#include "console/console_document.h"
#include "console/console_host.h"
#include "console/relay.h"

class RecorderHost : public console::ConsoleHost {
  public:
    QStringList printed;
    QStringList log;
    int refreshes = 0;
    int events_processed = 0;
    std::vector<int> sleeps;
    int64_t clock_ms = 0;
    QString clipboard;
    // When set, printed messages also land in this document, as in the window.
    console::ConsoleDocument *screen = nullptr;
    // When set, printed messages are mirrored to its client, as in the window.
    console::Relay *relay = nullptr;
    // Runs inside process_events, as pending GUI events would.
    std::function<void()> on_process_events;
    // Lets the (simulated) world move on while a command sleeps.
    std::function<void(int ms)> on_sleep;

    void console_print(const QString &text) override {
        printed << text;
        if (screen)
            screen->append_paragraph(text);
        if (relay)
            relay->send((text + QLatin1Char('\n')).toUtf8());
    }
    void append_command_log(const QString &line) override { log << line; }
    void refresh_display() override { ++refreshes; }
    void process_events() override {
        ++events_processed;
        if (on_process_events)
            on_process_events();
    }
    QString clipboard_text() const override { return clipboard; }
    void sleep_ms(int ms) override {
        sleeps.push_back(ms);
        clock_ms += ms;
        if (on_sleep)
            on_sleep(ms);
    }
    int64_t tick_ms() override { return clock_ms += 250; }
};
