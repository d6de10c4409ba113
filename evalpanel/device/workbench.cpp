#include "device/workbench.h"

#include <QDateTime>

#include "device/device_session.h"

namespace evalpanel {

Workbench::Workbench(DeviceSession &session, QObject *parent)
    : QObject(parent), session_(session) {
    clock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    connect(&session_, &DeviceSession::polled, this, &Workbench::on_polled);
}

void Workbench::on_polled() {
    TelemetrySample sample = sample_session(session_, clock_());
    sample.supply_rose = !history_.empty() && history_.back().supply == 0 && sample.supply == 1;
    const std::vector<FaultEdge> edges = detector_.update(sample);
    history_.push_back(sample);
    while (!history_.empty() && sample.time_ms - history_.front().time_ms > kHistoryMs)
        history_.pop_front();
    for (const auto &e : edges) {
        faults_.push_back(e);
        if (faults_.size() > kMaxFaults)
            faults_.pop_front();
    }
    if (recorder_.recording()) {
        QString error;
        if (!recorder_.add(sample, edges, &error)) {
            emit session_.log_line(error);
            emit recording_changed(false, error);
        }
    }
    emit sampled(history_.back());
    for (const auto &e : edges)
        emit fault_edge(e);
}

bool Workbench::start_recording(const QString &path, QString *error) {
    if (recorder_.recording())
        stop_recording();
    if (!recorder_.start(path, clock_(), error))
        return false;
    emit recording_changed(true, QStringLiteral("recording to %1").arg(path));
    return true;
}

int Workbench::stop_recording() {
    if (!recorder_.recording())
        return -1;
    const int rows = recorder_.stop();
    emit recording_changed(false, QStringLiteral("recording stopped: %1 rows").arg(rows));
    return rows;
}

void Workbench::set_loaded_configuration(const ConfigurationPlan &plan) {
    loaded_ = plan;
    emit configuration_loaded(plan);
}

} // namespace evalpanel
