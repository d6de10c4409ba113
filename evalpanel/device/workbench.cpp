#include "device/workbench.h"

#include <QDateTime>

#include "device/device_session.h"

namespace evalpanel {

Workbench::Workbench(DeviceSession &session, QObject *parent)
    : QObject(parent), session_(session) {
    clock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    connect(&session_, &DeviceSession::polled, this, &Workbench::on_polled);
    connect(&session_, &DeviceSession::connection_changed, this,
            &Workbench::on_connection_changed);
    connect(&session_, &DeviceSession::polling_changed, this, &Workbench::on_polling_changed);
}

void Workbench::on_polled() {
    TelemetrySample sample = sample_session(session_, clock_());
    sample.supply_rose = last_supply_ == 0 && sample.supply == 1;
    last_supply_ = sample.supply;
    std::vector<FaultEdge> edges = detector_.update(sample);
    // The load-current cycling raises I_LOAD_READY with every conversion,
    // up to the poll after it stops.
    const bool cycling = session_.current_cycling();
    for (auto &e : edges)
        e.measurement = (cycling || was_cycling_) && e.name == QLatin1String("I_LOAD_READY");
    was_cycling_ = cycling;
    if (recorder_.recording()) {
        QString error;
        if (!recorder_.add(sample, edges, &error))
            recording_failed(error);
    }
    emit sampled(sample);
    for (const auto &e : edges)
        add_fault(e);
}

void Workbench::add_fault(const FaultEdge &edge) {
    emit fault_edge(edge);
}

void Workbench::recording_failed(const QString &error) {
    session_.log(error);
    emit recording_changed(false, error);
}

void Workbench::record_event(const QString &text) {
    if (!recorder_.recording())
        return;
    QString error;
    if (!recorder_.add_event(sample_session(session_, clock_()), text, &error))
        recording_failed(error);
}

// The adapter and the chip coming and going: events in the fault history
// and the recording. The first connection is no event; an adapter that
// comes back is.
void Workbench::on_connection_changed(int state) {
    const int before = state_;
    state_ = state;
    const auto event = [this](const char *text) {
        FaultEdge e;
        e.time_ms = clock_();
        e.name = QString::fromLatin1(text);
        e.event = true;
        add_fault(e);
        record_event(e.name);
    };
    if (before != kNotConnected && state == kNotConnected) {
        event(kAdapterLost);
        chip_silent_ = false;
    } else if (before == kNotConnected && state != kNotConnected) {
        if (had_adapter_)
            event(kAdapterBack);
        had_adapter_ = true;
    } else if (before == kConnected && state == kNotAcknowledged) {
        event(kChipSilent);
        chip_silent_ = true;
    } else if (before == kNotAcknowledged && state == kConnected && chip_silent_) {
        // A chip first powered while connected never stopped answering.
        event(kChipBack);
        chip_silent_ = false;
    }
}

// Polling stopped under a recording: the recording takes no more rows
// until it starts again, which the recording and the console both say.
void Workbench::on_polling_changed(bool on) {
    if (!recorder_.recording())
        return;
    const QString why = on ? QStringLiteral("polling started")
                        : session_.have_adapter() ? QStringLiteral("polling stopped")
                                                  : QStringLiteral("polling stopped: adapter lost");
    record_event(why);
    if (!recorder_.recording())
        return;
    emit recording_note(on ? QStringLiteral("recording to %1: %2").arg(recorder_.path(), why)
                           : QStringLiteral("recording to %1: %2; nothing is recorded until "
                                            "polling starts again")
                                 .arg(recorder_.path(), why));
}

bool Workbench::start_recording(const QString &path, QString *error) {
    const bool running = recorder_.recording();
    const int rows = recorder_.rows();
    if (!recorder_.start(path, clock_(), error))
        return false;
    if (running)
        emit recording_changed(false, QStringLiteral("recording stopped: %1 rows").arg(rows));
    emit recording_changed(true, recording_started_text(path, session_.polling()));
    return true;
}

int Workbench::stop_recording() {
    if (!recorder_.recording())
        return -1;
    const int rows = recorder_.stop();
    emit recording_changed(false, QStringLiteral("recording stopped: %1 rows").arg(rows));
    return rows;
}

QString recording_started_text(const QString &path, bool polling) {
    if (polling)
        return QStringLiteral("recording to %1").arg(path);
    return QStringLiteral("recording to %1; polling is off: nothing is recorded until polling "
                          "starts")
        .arg(path);
}

void Workbench::set_loaded_configuration(const ConfigurationPlan &plan) {
    loaded_ = plan;
    emit configuration_loaded(plan);
}

} // namespace evalpanel
