// Telemetry: one sample per status poll, decoded from the session's result
// block; the rises and falls of the flags and the interrupt line between
// two polls; and the CSV recording of the samples.
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "device/status_decode.h"

namespace evalpanel {

class DeviceSession;

// A named flag (a one-bit field of R_FLAGS_0/R_FLAGS_1), mask (a field of
// R_INT_MASKS_0/R_INT_MASK_2) or the interrupt line, as a bit of a sample.
struct SignalBit {
    QString name;
    uint8_t reg; // register address; 0 for the interrupt line
    uint8_t mask;
};
// The flags in table order, then "INT" (the interrupt line, 1 = asserted).
const std::vector<SignalBit> &flag_bits();
const std::vector<SignalBit> &mask_bits();

struct TelemetrySample {
    int64_t time_ms = 0; // milliseconds since the epoch
    int state = 0;       // connection state
    bool fresh = false;  // the chip answered this poll
    // Mode text per buck ("PWM", "Disabled"...; "state N" for a passing
    // state; "Undefined" while not ready).
    std::array<QString, kBuckCount> modes;
    int current_source = 7; // 0..5 a buck, 6 the total, 7 none
    int current_ma = -1;    // -1 when not read
    double buck5_volts = 0.0;
    bool board_valid = false;
    double board_celsius = 0.0;
    int die_level = -1;
    std::array<uint8_t, 256> registers{}; // RegisterCache after the poll
    int interrupt = -1; // 1 asserted (line low), 0 released, -1 unknown
    int supply = -1;    // VIOSYS: 1 on, 0 off, -1 unknown
    // VIOSYS was off at the poll before this one (the workbench sets it: a
    // window that opens later still learns when the chip was powered).
    bool supply_rose = false;

    bool ready() const { return state == 1 && fresh; }
    // A flag, mask or the interrupt line: 0/1, or -1 unknown.
    int bit(const SignalBit &b) const;
};

TelemetrySample sample_session(const DeviceSession &session, int64_t time_ms);

// A rise or fall of a flag or of the interrupt line, or a connection event
// ("adapter lost", "adapter back", "chip does not answer", "chip answers
// again"), which has no edge: its text is its name.
struct FaultEdge {
    int64_t time_ms = 0;
    QString name;
    bool rise = true;
    bool event = false;
    // Caused by the program's own measurement (the load-current cycling),
    // not by the chip's condition.
    bool measurement = false;
    QString text() const; // "SCP rise", "adapter lost", "I_LOAD_READY rise (measurement)"
};

// Compares each ready sample's flags and interrupt line with the last ready
// one. The chip latches its flags until they are cleared, so a fault that
// came and went between two polls still shows as a rise.
class FaultEdgeDetector {
  public:
    std::vector<FaultEdge> update(const TelemetrySample &sample);

  private:
    bool have_last_ = false;
    std::vector<int> last_;
};

// The CSV file of a recording: a header row, then one row per sample.
class CsvRecorder {
  public:
    static QStringList header();
    static QStringList row(const TelemetrySample &s, int64_t start_ms,
                           const std::vector<FaultEdge> &edges);

    // false and a message when the file cannot be opened for writing; a
    // running recording then goes on. Otherwise ends a running one.
    bool start(const QString &path, int64_t start_ms, QString *error);
    // false and a message when the row could not be written (the recording
    // then stops by itself).
    bool add(const TelemetrySample &s, const std::vector<FaultEdge> &edges, QString *error);
    // A row for an event between polls (the adapter lost, polling stopped):
    // the session's state at that moment and the event's text.
    bool add_event(const TelemetrySample &s, const QString &event, QString *error);
    // Closes the file; the number of rows written.
    int stop();
    bool recording() const { return file_ != nullptr; }
    QString path() const { return path_; }
    int rows() const { return rows_; }

  private:
    bool write_row(const QStringList &cells, QString *error);

    std::unique_ptr<QFile> file_; // open while recording
    QString path_; // a file opened by descriptor keeps no name
    int64_t start_ms_ = 0;
    int rows_ = 0;
};

} // namespace evalpanel
