#include "device/session_view.h"

#include "device/device_session.h"

namespace evalpanel {

SessionView::SessionView(DeviceSession &session, QObject *parent)
    : QObject(parent), session_(session), snapshot_(session.snapshot()),
      pacing_(session.pace_for_view()) {
    // Signals from the device thread arrive queued, in the order they were
    // emitted: each snapshot lands before the signal it belongs to.
    connect(&session, &DeviceSession::published, this, [this](const SessionSnapshot &s) {
        snapshot_ = s;
        --pacing_->unseen;
    });
    connect(&session, &DeviceSession::connection_changed, this, &SessionView::connection_changed);
    connect(&session, &DeviceSession::polled, this, &SessionView::polled);
    connect(&session, &DeviceSession::registers_changed, this, &SessionView::registers_changed);
    connect(&session, &DeviceSession::cache_changed, this, &SessionView::cache_changed);
    connect(&session, &DeviceSession::log_line, this, &SessionView::log_line);
    connect(&session, &DeviceSession::address_changed, this, &SessionView::address_changed);
    connect(&session, &DeviceSession::bus_changed, this, &SessionView::bus_changed);
    connect(&session, &DeviceSession::polling_changed, this, &SessionView::polling_changed);
    connect(&session, &DeviceSession::open_failure_changed, this,
            &SessionView::open_failure_changed);
    connect(&session, &DeviceSession::power_up_measured, this,
            [this](const PowerUpRecord &record) {
                power_up_ = record;
                emit power_up_measured(record);
            });
}

SessionView::~SessionView() {
    // Snapshots still on their way are not waited for any more (the
    // session may be gone already: the pacing is shared).
    pacing_->on = false;
    pacing_->unseen = 0;
}

void SessionView::post(std::function<void(DeviceSession &)> job) {
    // Direct when the session is on this thread, queued to the device
    // thread otherwise.
    DeviceSession *s = &session_;
    QMetaObject::invokeMethod(s, [s, job = std::move(job)] { job(*s); });
}

} // namespace evalpanel
