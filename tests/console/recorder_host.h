// The window around the console, as a recorder: what was printed, logged and
// refreshed, with a fake clock and sleep.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QString>
#include <QStringList>

#include "console/console_host.h"

class RecorderHost : public console::ConsoleHost {
  public:
    QStringList printed;
    QStringList log;
    int refreshes = 0;
    std::vector<int> sleeps;
    int64_t clock_ms = 0;
    // Lets the (simulated) world move on while a command sleeps.
    std::function<void(int ms)> on_sleep;

    void console_print(const QString &text) override { printed << text; }
    void append_command_log(const QString &line) override { log << line; }
    void refresh_display() override { ++refreshes; }
    void sleep_ms(int ms) override {
        sleeps.push_back(ms);
        clock_ms += ms;
        if (on_sleep)
            on_sleep(ms);
    }
    int64_t tick_ms() override { return clock_ms += 250; }
};
