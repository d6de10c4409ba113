// Live plots of the status polls: the load currents (one line per source,
// a point whenever that source was selected), Buck5's output voltage, the
// board temperature, the die temperature level, and the flags and the
// interrupt line as marks while raised, on a time axis that scrolls. Beside
// them the "Faults" list of every rise and fall. Pausing freezes the plots;
// the workbench keeps sampling, and resuming draws what came meanwhile.
#pragma once

#include <QWidget>

#include <vector>

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
    // Seconds the time axis shows.
    static constexpr double kSpanSeconds = 120.0;

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
    void scroll_to(double t);
    double seconds(int64_t time_ms) const;

    evalpanel::Workbench &workbench_;
    bool paused_ = false;
    int64_t origin_ms_ = -1;
    std::vector<Plot> plots_;
    std::vector<QLineSeries *> currents_; // Buck0..Buck5, total
    QLineSeries *volts_ = nullptr;
    QLineSeries *board_ = nullptr;
    QLineSeries *die_ = nullptr;
    std::vector<QLineSeries *> flags_;
    QListWidget *faults_ = nullptr;
    QPushButton *pause_ = nullptr;
};
