// Live plots of the status polls on one time axis: the load currents (one
// line per source), Buck5's output voltage with the board temperature, and
// the flags, the interrupt line and the die temperature level. Lines break
// where nothing was measured; a banner says when the polls stopped. A
// cursor shows every series' value at one time; the wheel zooms, a drag
// pans, a double-click (or "Live") follows the newest poll again; the range
// in view exports as PNG and CSV. "All" as the current source makes the
// session measure every source in turn. Beside the plots the "Faults" list
// of every rise and fall and of the connection's events, bounded in length
// and age, which can be cleared and saved.
#pragma once

#include <QWidget>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "device/telemetry.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTimer;
class TimePlot;

namespace evalpanel {
class SessionView;
class Workbench;
} // namespace evalpanel

class TelemetryWindow : public QWidget {
    Q_OBJECT

  public:
    // Seconds the time axis shows at first, and how much polling time
    // passes between two redraws while following the polls.
    static constexpr double kSpanSeconds = 120.0;
    static constexpr int64_t kRedrawMs = 1000;
    // Silence after which the polls count as stopped.
    static constexpr int64_t kStaleMs = 1500;
    // The Faults list keeps at most this many lines, none older than an hour.
    static constexpr int kMaxFaultLines = 1000;
    static constexpr int64_t kFaultAgeMs = 60 * 60 * 1000;

    TelemetryWindow(evalpanel::SessionView &view, evalpanel::Workbench &workbench,
                    QWidget *parent = nullptr);
    ~TelemetryWindow() override;

    // Clock of "no polls since" (milliseconds since the epoch); tests set one.
    void set_clock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

    void set_paused(bool paused);
    bool paused() const { return !live_; }
    QListWidget *faults() const { return faults_; }
    QPushButton *pause_button() const { return pause_; }
    // "no polls since hh:mm:ss" and the like; empty while polls come.
    QLabel *stale_banner() const { return stale_; }
    QLabel *readout() const { return readout_; }
    // What the last export or save did.
    QLabel *note() const { return note_; }
    QComboBox *current_source() const { return source_; }
    const std::vector<TimePlot *> &plots() const { return plots_; }
    const std::deque<evalpanel::TelemetrySample> &samples() const { return history_; }

    // The range in view (milliseconds since the epoch).
    int64_t from_ms() const { return end_ms_ - span_ms_; }
    int64_t to_ms() const { return end_ms_; }
    void set_range(int64_t from_ms, int64_t to_ms);
    void zoom(double factor, int64_t anchor_ms);
    void pan(int64_t delta_ms);
    void follow();
    // The cursor on every plot and the values of every series there.
    void set_cursor(std::optional<int64_t> ms);
    // Checks whether the polls stopped (a timer does this twice a second).
    void check_stale();
    // The range in view: the samples as CSV rows (recording's columns),
    // and the plots as a picture.
    QByteArray visible_csv() const;
    QImage visible_image();
    // The line under an exported picture: date, chip ID, program version
    // and the range.
    QString image_stamp() const;
    // The read-out as plain lines ("name  value unit"); empty while the
    // pointer is on no plot.
    const QString &readout_lines() const { return readout_lines_; }
    // A stretch the polls paused for a known reason ("flashing"): the plots
    // name their gap after it.
    void note_pause(int64_t from_ms, int64_t to_ms, const QString &why);
    // Points drawn over all series in the range in view.
    int plotted_points() const;

  protected:
    void showEvent(QShowEvent *event) override;

  private:
    void add(const evalpanel::TelemetrySample &sample);
    void add_fault(const evalpanel::FaultEdge &edge);
    void apply_range();
    void set_banner(const QString &text);
    void export_png();
    void export_csv();
    void save_faults();

    std::deque<evalpanel::TelemetrySample> history_;
    std::vector<TimePlot *> plots_;
    bool live_ = true;
    int64_t span_ms_ = static_cast<int64_t>(kSpanSeconds * 1000);
    int64_t end_ms_ = 0;
    int64_t drawn_ms_ = -1;
    std::function<int64_t()> clock_;
    QWidget *plot_area_ = nullptr;
    QListWidget *faults_ = nullptr;
    QPushButton *pause_ = nullptr;
    QLabel *stale_ = nullptr;
    QLabel *readout_ = nullptr;
    QString readout_lines_;
    struct Pause {
        int64_t from, to;
        QString why;
    };
    std::vector<Pause> pauses_;
    QString pause_between(int64_t from, int64_t to) const;
    QLabel *note_ = nullptr;
    evalpanel::SessionView &view_;
    QComboBox *source_ = nullptr;
    QTimer *stale_timer_ = nullptr;
};
