// The virtual kit opened the way the program opens it (a DeviceSession's
// connection sequence, then the chip's supply), with a window stand-in that
// counts what the console prints. Fuzz targets that drive the console or the
// field access start every input from here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <QString>

#include "console/console_document.h"
#include "console/console_host.h"
#include "device/device_session.h"

namespace fuzzkit {

// The window around the console. Sleeping moves the kit's manual clock
// instead of the wall clock, so no input ever waits.
class KitHost : public console::ConsoleHost {
  public:
    int printed = 0;
    int logged = 0;
    int refreshes = 0;

    void console_print(const QString &text) override;
    void append_command_log(const QString &line) override;
    void refresh_display() override { ++refreshes; }
    void process_events() override {}
    QString clipboard_text() const override { return {}; }
    void sleep_ms(int ms) override;
    int64_t tick_ms() override { return clock_ms_ += 10; }

  private:
    int64_t clock_ms_ = 0;
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

// A session on the kit, reset and on its manual clock, connected and with
// the chip powered. Aborts when the kit cannot be opened: that is a broken
// build, not an input. Its destruction closes the adapter.
struct KitSession {
    evalpanel::DeviceSession session;
    KitSession();
    ~KitSession();
};

} // namespace fuzzkit
