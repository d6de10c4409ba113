// Live plots of the status polls: the load currents (one line per source,
// a point whenever that source was selected), Buck5's output voltage, the
// board temperature, the die temperature level, and the flags and the
// interrupt line as marks while raised, on a time axis that scrolls. Beside
// them the "Faults" list of every rise and fall. Pausing freezes the plots;
// the workbench keeps sampling, and resuming draws what came meanwhile.
#pragma once

#include <QWidget>

#include <QList>
#include <QPointF>

#include <cstdint>
#include <deque>
#include <vector>

#include "device/telemetry.h"

class QChart;
class QChartView;
class QLineSeries;
class QListWidget;
class QPushButton;
class QValueAxis;

namespace evalpanel {
class Workbench;
struct TelemetrySample;
struct FaultEdge;
} // namespace evalpanel

class TelemetryWindow : public QWidget {
    Q_OBJECT

  public:
    // Seconds the time axis shows, and how much polling time passes between
    // two redraws: a redraw of the plots costs far more than a poll, so the
    // plots move on once a second of samples, not at every poll.
    static constexpr double kSpanSeconds = 120.0;
    static constexpr int64_t kRedrawMs = 1000;

    explicit TelemetryWindow(evalpanel::Workbench &workbench, QWidget *parent = nullptr);

    void set_paused(bool paused);
    bool paused() const { return paused_; }
    QListWidget *faults() const { return faults_; }
    QPushButton *pause_button() const { return pause_; }
    // Points currently plotted, over all series.
    int plotted_points() const;

  protected:
    void showEvent(QShowEvent *event) override;

  private:
    struct Plot {
        QChart *chart = nullptr;
        QChartView *view = nullptr;
        QValueAxis *time = nullptr;
        QValueAxis *left = nullptr;
        QValueAxis *right = nullptr;
    };
    Plot make_plot(const QString &title, const QString &left_title, const QString &right_title);
    void add(const evalpanel::TelemetrySample &sample);
    void plot(const evalpanel::TelemetrySample &sample);
    void add_fault(const evalpanel::FaultEdge &edge);
    void redraw_from_history();
    void draw();
    double seconds(int64_t time_ms) const;

    // A series' points in seconds since the first sample; drawn shifted so
    // that the newest sample is at 0 on a time axis that never moves (an
    // axis whose labels change costs a relayout of the whole chart).
    struct Trace {
        QLineSeries *series = nullptr;
        QList<QPointF> points;
        void append(double t, double y);
        void trim(double from);
    };

    // The samples of the last minutes, as they arrived from the workbench
    // on the device thread: the window never reads the workbench itself.
    std::deque<evalpanel::TelemetrySample> history_;
    bool paused_ = false;
    int64_t origin_ms_ = -1;
    int64_t drawn_ms_ = -1;
    double newest_ = 0;
    std::vector<Plot> plots_;
    std::vector<Trace> currents_; // Buck0..Buck5, total
    Trace volts_;
    Trace board_;
    Trace die_;
    std::vector<Trace> flags_;
    QListWidget *faults_ = nullptr;
    QPushButton *pause_ = nullptr;
};
