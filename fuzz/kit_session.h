// The virtual kit opened the way the program opens it (adapter library,
// device layer, chip powered on the system bus, "advanced" access level),
// with a window stand-in that records what the console prints. Fuzz targets
// that drive the console or the register layer start every input from here.
#pragma once

#include <cstdint>
#include <string>

#include <QString>

#include "console/console_document.h"
#include "console/console_host.h"
#include "registers/device_access.h"

namespace fuzzkit {

// The window around the console and the device layer. Sleeping moves the
// kit's manual clock instead of the wall clock, so no input ever waits.
class KitHost : public console::ConsoleHost, public evalpanel::DeviceHost {
  public:
    int printed = 0;
    int logged = 0;
    int refreshes = 0;
    int polls = 0;

    void console_print(const QString &text) override;
    void append_command_log(const QString &line) override;
    void refresh_display() override { ++refreshes; }
    void timer_func() override;
    double adc_read(int unit, int channel, double factor_a, int shift, double factor_b) override;
    void set_bus_selector_index(int) override {}
    void process_events() override {}
    QString board_temp_text() const override { return QStringLiteral("25.0"); }
    QString clipboard_text() const override { return {}; }
    void sleep_ms(int ms) override;
    int64_t tick_ms() override { return clock_ms_ += 10; }

    bool has_command_log() const override { return true; }
    void stop_poll_timer() override {}
    void start_reconnect_timer(int) override {}
    void set_address_selector_index(int index) override { address_selector_ = index; }
    int address_selector_index() const override { return address_selector_; }
    void run_status_poll() override { timer_func(); }

  private:
    int64_t clock_ms_ = 0;
    int address_selector_ = 0;
};

// A console document that only keeps its length, enough for the bus test's
// erase-what-passed bookkeeping.
class CountingDocument : public console::ConsoleDocument {
  public:
    void move_to_end() override { cursor_ = length_; }
    void move_left(int n) override { cursor_ = n > cursor_ ? 0 : cursor_ - n; }
    void insert_text(const QString &text) override;
    void delete_before(int n) override;
    void delete_after() override;
    void append_paragraph(const QString &text) override;

  private:
    int64_t length_ = 0;
    int64_t cursor_ = 0;
};

// One control line of the kit; its whole answer.
std::string kit(const std::string &line);

// Resets the kit, switches it to the manual clock, opens the adapter through
// the library and brings the chip up as the program does at start. Aborts
// when the kit cannot be opened: that is a broken build, not an input.
void open_kit(KitHost &host);

// Closes the adapter and forgets the device layer's state.
void close_kit();

} // namespace fuzzkit
