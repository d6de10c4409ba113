// Test helpers: a window stand-in that records what the device layer asks of
// it, and a capture of the layer's trace lines.
#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

#include "registers/device_access.h"

namespace evalpanel::test {

class RecordingHost : public DeviceHost {
  public:
    bool log_exists = true;
    QStringList log;
    int poll_timer_stops = 0;
    std::vector<int> reconnect_starts; // intervals, one per start
    int selector = 0;                  // items 60h..63h, -1 none
    int status_polls = 0;
    std::function<void()> on_status_poll;

    bool has_command_log() const override { return log_exists; }
    void append_command_log(const QString &line) override { log << line; }
    void stop_poll_timer() override { ++poll_timer_stops; }
    void start_reconnect_timer(int interval_ms) override {
        reconnect_starts.push_back(interval_ms);
    }
    void set_address_selector_index(int index) override {
        selector = index >= 0 && index <= 3 ? index : -1;
    }
    int address_selector_index() const override { return selector; }
    void run_status_poll() override {
        ++status_polls;
        if (on_status_poll)
            on_status_poll();
    }
    bool timers_untouched() const { return poll_timer_stops == 0 && reconnect_starts.empty(); }
};

// Collects the lines traced under evalpanel.device while it lives.
class TraceCapture {
  public:
    TraceCapture() {
        lines().clear();
        QLoggingCategory::setFilterRules(QStringLiteral("evalpanel.device.debug=true"));
        previous_ = qInstallMessageHandler(&TraceCapture::handler);
    }
    ~TraceCapture() {
        qInstallMessageHandler(previous_);
        QLoggingCategory::setFilterRules(QString());
    }
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    static QStringList &lines() {
        static QStringList captured;
        return captured;
    }
    bool contains(const QString &line) const { return lines().contains(line); }

  private:
    static void handler(QtMsgType, const QMessageLogContext &context, const QString &message) {
        if (context.category != nullptr && QByteArray(context.category) == "evalpanel.device")
            lines() << message;
    }
    QtMessageHandler previous_ = nullptr;
};

} // namespace evalpanel::test
