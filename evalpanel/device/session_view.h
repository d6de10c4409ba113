// SessionView: what the GUI knows of the device session, and the one way it
// asks the session for anything.
//
// The session lives on the device thread. The view lives on the GUI thread
// and keeps the last SessionSnapshot the session published; the window and
// the other windows render from it and never read the session itself. A
// user action becomes a job posted to the device thread (post), or a job
// whose result comes back to a GUI object (ask); neither waits. When the
// session lives on the calling thread (tests), jobs run at once.
//
// The view repeats the session's signals on the GUI thread, each after the
// snapshot that goes with it.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "device/session_snapshot.h"
#include "device/view_pacing.h"

namespace evalpanel {

class DeviceSession;

class SessionView : public QObject {
    Q_OBJECT

  public:
    explicit SessionView(DeviceSession &session, QObject *parent = nullptr);
    ~SessionView() override;

    const SessionSnapshot &snapshot() const { return snapshot_; }
    int connection_state() const { return snapshot_.state; }
    const RegisterImage &registers() const { return snapshot_.registers; }
    bool registers_valid() const { return snapshot_.registers_valid; }
    const ResultBlock &status() const { return snapshot_.status; }
    bool status_fresh() const { return snapshot_.status_fresh; }
    bool polling() const { return snapshot_.polling; }
    bool board_sensor_present() const { return snapshot_.sensor_present; }
    const QString &open_failure() const { return snapshot_.open_failure; }
    // The last power-up the session timed, if any.
    const std::optional<PowerUpRecord> &power_up() const { return power_up_; }
    int pin_level(int group, int pin) const { return snapshot_.pin_level(group, pin); }
    double adc_read(int unit, int channel, double a, int shift, double b) const {
        return snapshot_.adc_read(unit, channel, a, shift, b);
    }

    // Runs `job` on the device thread.
    void post(std::function<void(DeviceSession &)> job);
    // Runs `job` on the device thread and then `done` with its result on
    // the thread of `context`, unless `context` is gone by then.
    template <typename Job, typename Done> void ask(Job job, QObject *context, Done done) {
        using Result = std::invoke_result_t<Job, DeviceSession &>;
        QPointer<QObject> target(context);
        post([job = std::move(job), target, done = std::move(done)](DeviceSession &s) mutable {
            Result r = job(s);
            if (target)
                QMetaObject::invokeMethod(
                    target.data(), [done = std::move(done), r = std::move(r)]() mutable { done(r); });
        });
    }

  signals:
    void connection_changed(int state);
    void polled(bool fresh);
    void registers_changed();
    void cache_changed();
    void log_line(const QString &line);
    void address_changed(uint8_t address);
    void bus_changed(int bus);
    void polling_changed(bool on);
    void open_failure_changed(const QString &reason);
    void power_up_measured(const evalpanel::PowerUpRecord &record);

  private:
    DeviceSession &session_;
    SessionSnapshot snapshot_;
    std::shared_ptr<ViewPacing> pacing_;
    std::optional<PowerUpRecord> power_up_;
};

} // namespace evalpanel
