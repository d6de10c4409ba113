// Telemetry samples, fault edges and the CSV recording.
#include "device/telemetry.h"

#include <QDateTime>

#include "chip/rx5120.h"
#include "device/device_session.h"
#include "device/file_access.h"
#include "registers/register_map.h"

namespace evalpanel {

namespace {

// The one-bit fields of `regs`, or every field of them, in table order.
std::vector<SignalBit> bits_of(std::initializer_list<uint8_t> regs, bool single_bits_only) {
    std::vector<SignalBit> out;
    for (const auto &f : register_map().fields) {
        if (f.segments.size() != 1 || (single_bits_only && f.width != 1))
            continue;
        for (uint8_t reg : regs)
            if (f.segments[0].address == reg)
                out.push_back({f.name, reg, f.mask_in(reg)});
    }
    return out;
}

QString state_text(int state) {
    switch (state) {
    case kConnected:
        return QStringLiteral("ready");
    case kNotAcknowledged:
        return QStringLiteral("NACK");
    default:
        return QStringLiteral("not connected");
    }
}

// The column of a load-current source: Buck0..Buck5, then the total.
constexpr int kCurrentColumns = kBuckCount + 1;

} // namespace

const std::vector<SignalBit> &flag_bits() {
    static const std::vector<SignalBit> bits = [] {
        auto v = bits_of({rx5120::reg::kFlags0, rx5120::reg::kFlags1}, true);
        v.push_back({QStringLiteral("INT"), 0, 0});
        return v;
    }();
    return bits;
}

const std::vector<SignalBit> &mask_bits() {
    static const std::vector<SignalBit> bits =
        bits_of({rx5120::reg::kIntMask0, rx5120::reg::kIntMask2}, false);
    return bits;
}

int TelemetrySample::bit(const SignalBit &b) const {
    if (b.reg == 0)
        return interrupt;
    if (state == kNotConnected)
        return -1;
    return (registers[b.reg] & b.mask) != 0 ? 1 : 0;
}

TelemetrySample sample_session(const DeviceSession &session, int64_t time_ms) {
    TelemetrySample s;
    s.time_ms = time_ms;
    s.state = session.connection_state();
    s.fresh = session.status_fresh();
    s.registers = session.registers();
    const ResultBlock &block = session.status();
    const bool ready = s.ready();
    for (int k = 0; k < kBuckCount; ++k) {
        const auto text = buck_mode_text(block, k);
        s.modes[k] = !ready ? kUndefinedText
                     : text ? *text
                            : QStringLiteral("state %1").arg(mode_state(block, k));
    }
    if (ready) {
        const LoadCurrentReading current = load_current(block);
        s.current_source = current.source;
        if (current_field_for_source(current.source) >= 0)
            s.current_ma = current.raw * 10;
        s.buck5_volts = session.adc_read(1, 1, 2.5, 10, 1.0);
        s.die_level = chip_temperature_level(block[rx5120::result::kFlags0]);
    }
    const bool supply = block[rx5120::result::kVioSysLevel] == 1;
    s.board_valid = s.fresh && supply && session.board_sensor_present();
    if (s.board_valid)
        s.board_celsius = board_temperature(block);
    // The pin levels are fresh whenever the adapter answers, even on NACK.
    if (s.state != kNotConnected) {
        s.interrupt = block[rx5120::result::kPinLevels] == 0 ? 1 : 0;
        s.supply = supply ? 1 : 0;
    }
    return s;
}

QString FaultEdge::text() const {
    if (event)
        return name;
    return name + (rise ? QStringLiteral(" rise") : QStringLiteral(" fall")) +
           (measurement ? QStringLiteral(" (measurement)") : QString());
}

std::vector<FaultEdge> FaultEdgeDetector::update(const TelemetrySample &sample) {
    std::vector<FaultEdge> edges;
    if (!sample.ready())
        return edges; // nothing known to compare: keep the last ready poll
    const auto &bits = flag_bits();
    std::vector<int> now(bits.size());
    for (size_t i = 0; i < bits.size(); ++i)
        now[i] = sample.bit(bits[i]);
    if (have_last_) {
        for (size_t i = 0; i < bits.size(); ++i)
            if (now[i] >= 0 && last_[i] >= 0 && now[i] != last_[i])
                edges.push_back({sample.time_ms, bits[i].name, now[i] == 1});
    }
    last_ = std::move(now);
    have_last_ = true;
    return edges;
}

namespace {

// Local date and time with its offset from UTC: a row read a day later, or
// in another time zone, still says when it was taken.
QString iso_time(int64_t ms) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

} // namespace

QStringList CsvRecorder::header() {
    QStringList h{QStringLiteral("time_s"), QStringLiteral("clock"), QStringLiteral("state")};
    for (int k = 0; k < kBuckCount; ++k)
        h << QStringLiteral("mode_B%1").arg(k);
    h << QStringLiteral("current_source");
    for (int k = 0; k < kBuckCount; ++k)
        h << QStringLiteral("I_B%1_mA").arg(k);
    h << QStringLiteral("I_total_mA") << QStringLiteral("VOUT_B5_V") << QStringLiteral("board_C")
      << QStringLiteral("die_temp_level");
    for (const auto &b : flag_bits())
        h << b.name;
    for (const auto &b : mask_bits())
        h << b.name;
    h << QStringLiteral("events");
    return h;
}

QStringList CsvRecorder::row(const TelemetrySample &s, int64_t start_ms,
                             const std::vector<FaultEdge> &edges) {
    const auto opt = [](int v) { return v < 0 ? QString() : QString::number(v); };
    QStringList r;
    r << QString::number(static_cast<double>(s.time_ms - start_ms) / 1000.0, 'f', 3)
      << iso_time(s.time_ms)
      << state_text(s.state);
    for (const QString &m : s.modes)
        r << m;
    r << (s.ready() ? QString::number(s.current_source) : QString());
    // Each poll reads the current of the selected source only.
    for (int c = 0; c < kCurrentColumns; ++c)
        r << (s.current_ma >= 0 && current_field_for_source(s.current_source) == c
                  ? QString::number(s.current_ma)
                  : QString());
    r << (s.ready() ? QString::number(s.buck5_volts, 'f', 3) : QString())
      << (s.board_valid ? QString::number(s.board_celsius, 'f', 1) : QString())
      << opt(s.die_level);
    for (const auto &b : flag_bits())
        r << opt(s.bit(b));
    for (const auto &b : mask_bits())
        r << opt(s.bit(b));
    QStringList events;
    for (const auto &e : edges)
        events << e.text();
    r << events.join(QLatin1Char(' '));
    return r;
}

bool CsvRecorder::start(const QString &path, int64_t start_ms, QString *error) {
    // The new file is opened first: one that cannot be written leaves a
    // running recording as it was.
    auto next = std::make_unique<QFile>();
    if (!open_stream_file(*next, path, error))
        return false;
    const QByteArray line = header().join(QLatin1Char(',')).toUtf8() + '\n';
    if (next->write(line) != line.size() || !next->flush()) {
        if (error != nullptr)
            *error = QStringLiteral("cannot write %1: %2").arg(path, next->errorString());
        return false;
    }
    stop();
    file_ = std::move(next);
    path_ = path;
    start_ms_ = start_ms;
    rows_ = 0;
    return true;
}

bool CsvRecorder::add_event(const TelemetrySample &s, const QString &event, QString *error) {
    FaultEdge e;
    e.time_ms = s.time_ms;
    e.name = event;
    e.event = true;
    return write_row(row(s, start_ms_, {e}), error);
}

bool CsvRecorder::add(const TelemetrySample &s, const std::vector<FaultEdge> &edges,
                      QString *error) {
    return write_row(row(s, start_ms_, edges), error);
}

bool CsvRecorder::write_row(const QStringList &cells, QString *error) {
    if (!recording())
        return false;
    const QByteArray line = cells.join(QLatin1Char(',')).toUtf8() + '\n';
    // Flushed per row: a recording cut short by a crash keeps what it had.
    if (file_->write(line) != line.size() || !file_->flush()) {
        if (error != nullptr)
            *error = QStringLiteral("recording to %1 stopped: %2")
                         .arg(path_, file_->errorString());
        file_.reset();
        return false;
    }
    ++rows_;
    return true;
}

int CsvRecorder::stop() {
    file_.reset();
    return rows_;
}

} // namespace evalpanel
