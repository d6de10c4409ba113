// What the bench tools share over one session: the telemetry of every
// status poll (the last minutes of samples and the fault history), the CSV
// recording, and the configuration last loaded. One per session, created
// beside it and passed by reference; it lives on the device thread with the
// session and tells the windows what changed through signals carrying
// values.
#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <optional>

#include "device/configuration.h"
#include "device/telemetry.h"

namespace evalpanel {

class DeviceSession;

// What a started recording says: with polling off it records nothing yet.
QString recording_started_text(const QString &path, bool polling);

class Workbench : public QObject {
    Q_OBJECT

  public:
    // The telemetry history keeps no sample older than this, nor more than
    // this many: polls come faster than the timer's while a command polls
    // after each write.
    static constexpr int64_t kHistoryMs = 10 * 60 * 1000;
    static constexpr size_t kMaxSamples = 8000;

    // Connection events, in the fault history and the recording.
    static constexpr const char *kAdapterLost = "adapter lost";
    static constexpr const char *kAdapterBack = "adapter back";
    static constexpr const char *kChipSilent = "chip does not answer";
    static constexpr const char *kChipBack = "chip answers again";

    explicit Workbench(DeviceSession &session, QObject *parent = nullptr);

    // Recording: the console's record(FILE) / record() and the menu.
    bool start_recording(const QString &path, QString *error);
    int stop_recording(); // rows written; -1 when not recording
    const CsvRecorder &recorder() const { return recorder_; }

    // The configuration last loaded, for marking what differs from it.
    const std::optional<ConfigurationPlan> &loaded_configuration() const { return loaded_; }
    void set_loaded_configuration(const ConfigurationPlan &plan);

    // Clock of the samples (milliseconds since the epoch); tests may set one.
    void set_clock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

  signals:
    void sampled(const evalpanel::TelemetrySample &sample);
    void fault_edge(const evalpanel::FaultEdge &edge);
    // A recording started, stopped, or stopped by itself (with a message).
    void recording_changed(bool on, const QString &message);
    // Something the user must know about a running recording that did not
    // come from a command: polling stopped under it (the console prints it).
    void recording_note(const QString &message);
    void configuration_loaded(const evalpanel::ConfigurationPlan &plan);

  private:
    void on_polled();
    void on_connection_changed(int state);
    void on_polling_changed(bool on);
    void add_fault(const FaultEdge &edge);
    // A row of its own in the recording for something between polls.
    void record_event(const QString &text);
    void recording_failed(const QString &error);

    DeviceSession &session_;
    // VIOSYS at the last poll (-1 before any), for the supply's rising edge.
    int last_supply_ = -1;
    FaultEdgeDetector detector_;
    bool was_cycling_ = false;
    CsvRecorder recorder_;
    std::optional<ConfigurationPlan> loaded_;
    std::function<int64_t()> clock_;
    int state_ = 0;           // the connection state last seen
    bool had_adapter_ = false; // an adapter was open at some time
    bool chip_silent_ = false; // "chip does not answer" was said last
};

} // namespace evalpanel
