#include "telemetry_window.h"

#include <QChart>
#include <QCategoryAxis>
#include <QChartView>
#include <QLegendMarker>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QValueAxis>
#include <QVBoxLayout>

#include "device/workbench.h"

using namespace evalpanel;

namespace {

// Height of a raised flag's trace above its row.
constexpr double kRaised = 0.55;

// Removes the points that scrolled out of view, so that a repaint draws
// only what is seen.
template <typename Series> void trim(Series *series, double from) {
    int n = 0;
    const int count = series->count();
    while (n < count && series->at(n).x() < from)
        ++n;
    if (n > 0)
        series->removePoints(0, n);
}

// Appends a point, but a run of equal values keeps only its first and last
// point: flat stretches cost nothing to draw, and QtCharts' cost grows
// with the points of a series.
void append(QLineSeries *series, double t, double y) {
    const int n = series->count();
    if (n >= 2 && series->at(n - 1).y() == y && series->at(n - 2).y() == y)
        series->replace(n - 1, t, y);
    else
        series->append(t, y);
}

} // namespace

TelemetryWindow::TelemetryWindow(Workbench &workbench, QWidget *parent)
    : QWidget(parent, Qt::Window), workbench_(workbench) {
    setWindowTitle(QStringLiteral("Telemetry"));
    auto *layout = new QHBoxLayout(this);
    auto *plots = new QSplitter(Qt::Vertical, this);

    Plot current = make_plot(QStringLiteral("Load current"), QStringLiteral("mA"), QString());
    for (int k = 0; k <= kBuckCount; ++k) {
        static const QColor colours[] = {{31, 119, 180}, {255, 127, 14}, {44, 160, 44}, {214, 39, 40},
                                         {148, 103, 189}, {140, 86, 75}, {80, 80, 80}};
        auto *s = new QLineSeries;
        s->setColor(colours[k]);
        s->setName(k < kBuckCount ? QStringLiteral("Buck%1").arg(k) : QStringLiteral("Total"));
        current.chart->addSeries(s);
        s->attachAxis(current.time);
        s->attachAxis(current.left);
        currents_.push_back(s);
    }
    Plot supply = make_plot(QStringLiteral("Buck5 output and board temperature"),
                            QStringLiteral("V"), QStringLiteral("\u00b0C"));
    volts_ = new QLineSeries;
    volts_->setName(QStringLiteral("Buck5 (V)"));
    board_ = new QLineSeries;
    board_->setName(QStringLiteral("Board (\u00b0C)"));
    supply.chart->addSeries(volts_);
    supply.chart->addSeries(board_);
    volts_->attachAxis(supply.time);
    volts_->attachAxis(supply.left);
    board_->attachAxis(supply.time);
    board_->attachAxis(supply.right);

    Plot flags = make_plot(QStringLiteral("Flags, interrupt line and die temperature level"),
                           QString(), QStringLiteral("die level"));
    const auto &bits = flag_bits();
    // One row per flag, named on the axis instead of in the legend.
    auto *rows = new QCategoryAxis;
    rows->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    for (size_t i = 0; i < bits.size(); ++i)
        rows->append(bits[i].name, static_cast<double>(i));
    rows->setRange(-0.3, static_cast<double>(bits.size()) - 0.3);
    rows->setGridLineVisible(false);
    QFont small = rows->labelsFont();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    rows->setLabelsFont(small);
    flags.chart->removeAxis(flags.left);
    delete flags.left;
    flags.chart->addAxis(rows, Qt::AlignLeft);
    flags.right->setRange(0, 3.2);
    flags.right->setTickType(QValueAxis::TicksDynamic);
    flags.right->setTickAnchor(0);
    flags.right->setTickInterval(1);
    // Each flag a logic trace on its own row, raised while the flag is.
    for (size_t i = 0; i < bits.size(); ++i) {
        auto *s = new QLineSeries;
        s->setName(bits[i].name);
        QPen pen(QColor(200, 40, 40));
        pen.setWidthF(2.0);
        s->setPen(pen);
        flags.chart->addSeries(s);
        s->attachAxis(flags.time);
        s->attachAxis(rows);
        flags_.push_back(s);
    }
    die_ = new QLineSeries;
    die_->setName(QStringLiteral("Die level"));
    flags.chart->addSeries(die_);
    die_->attachAxis(flags.time);
    die_->attachAxis(flags.right);
    for (QLineSeries *s : flags_)
        flags.chart->legend()->markers(s).value(0)->setVisible(false);
    plots_.back().left = nullptr;

    for (const Plot &p : plots_)
        plots->addWidget(p.view);
    // The flag rows need the most height to keep their names readable.
    plots->setSizes({220, 200, 340});
    plots_.back().view->setMinimumHeight(300);
    layout->addWidget(plots, 1);

    auto *side = new QVBoxLayout;
    pause_ = new QPushButton(QStringLiteral("Pause"), this);
    pause_->setCheckable(true);
    connect(pause_, &QPushButton::toggled, this, &TelemetryWindow::set_paused);
    side->addWidget(pause_);
    side->addWidget(new QLabel(QStringLiteral("Faults"), this));
    faults_ = new QListWidget(this);
    faults_->setObjectName(QStringLiteral("faults"));
    side->addWidget(faults_, 1);
    side->addWidget(new QLabel(QStringLiteral("The chip latches its flags: a fault\n"
                                              "between two polls still shows."),
                               this));
    layout->addLayout(side);

    for (const FaultEdge &e : workbench_.faults())
        add_fault(e);
    redraw_from_history();
    connect(&workbench_, &Workbench::sampled, this, &TelemetryWindow::add);
    connect(&workbench_, &Workbench::fault_edge, this, &TelemetryWindow::add_fault);
    resize(1100, 760);
}

TelemetryWindow::Plot TelemetryWindow::make_plot(const QString &title, const QString &left_title,
                                                 const QString &right_title) {
    Plot p;
    p.chart = new QChart;
    p.chart->setTitle(title);
    p.chart->setAnimationOptions(QChart::NoAnimation);
    p.chart->legend()->setAlignment(Qt::AlignRight);
    p.chart->setMargins(QMargins(4, 2, 4, 2));
    p.time = new QValueAxis;
    p.time->setTitleText(QStringLiteral("time (s)"));
    p.time->setLabelFormat(QStringLiteral("%.0f"));
    // Ticks on whole multiples of 20 s, so labels stay put as the axis scrolls.
    p.time->setTickType(QValueAxis::TicksDynamic);
    p.time->setTickAnchor(0);
    p.time->setTickInterval(20);
    p.time->setRange(-kSpanSeconds, 0);
    p.chart->addAxis(p.time, Qt::AlignBottom);
    p.left = new QValueAxis;
    p.left->setTitleText(left_title);
    p.left->setLabelFormat(QStringLiteral("%.4g"));
    p.chart->addAxis(p.left, Qt::AlignLeft);
    if (!right_title.isEmpty()) {
        p.right = new QValueAxis;
        p.right->setTitleText(right_title);
        p.right->setLabelFormat(QStringLiteral("%.4g"));
        p.chart->addAxis(p.right, Qt::AlignRight);
    }
    p.view = new QChartView(p.chart, this);
    p.view->setRenderHint(QPainter::Antialiasing, false);
    p.view->setMinimumHeight(180);
    plots_.push_back(p);
    return p;
}

double TelemetryWindow::seconds(int64_t time_ms) const {
    return static_cast<double>(time_ms - origin_ms_) / 1000.0;
}

void TelemetryWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!paused_)
        redraw_from_history();
}

void TelemetryWindow::add(const TelemetrySample &s) {
    // A hidden or paused window draws nothing; showing or resuming it
    // draws the history kept meanwhile.
    if (paused_ || !isVisible())
        return;
    plot(s);
    scroll_to(seconds(s.time_ms));
}

void TelemetryWindow::plot(const TelemetrySample &s) {
    if (origin_ms_ < 0)
        origin_ms_ = s.time_ms;
    const double t = seconds(s.time_ms);
    if (s.ready()) {
        const int c = current_field_for_source(s.current_source);
        if (c >= 0 && s.current_ma >= 0)
            append(currents_[static_cast<size_t>(c)], t, s.current_ma);
        append(volts_, t, s.buck5_volts);
        if (s.die_level >= 0)
            append(die_, t, s.die_level);
        const auto &bits = flag_bits();
        for (size_t i = 0; i < bits.size(); ++i) {
            const double y = static_cast<double>(i) + (s.bit(bits[i]) == 1 ? kRaised : 0.0);
            QLineSeries *trace = flags_[i];
            // A step: the old level up to now, then the new one.
            const int n = trace->count();
            if (n > 0 && trace->at(n - 1).y() != y)
                trace->append(t, trace->at(n - 1).y());
            append(trace, t, y);
        }
    }
    if (s.board_valid)
        append(board_, t, s.board_celsius);
}

void TelemetryWindow::scroll_to(double t) {
    const double from = t - kSpanSeconds;
    for (QLineSeries *s : currents_)
        trim(s, from);
    for (QLineSeries *s : {volts_, board_, die_})
        trim(s, from);
    for (QLineSeries *s : flags_)
        trim(s, from);
    for (const Plot &p : plots_)
        p.time->setRange(from, t);
    // Value axes fit what is shown, with a little room.
    const auto fit = [](QValueAxis *axis, std::initializer_list<QLineSeries *> series, double floor) {
        double lo = floor, hi = floor + 1.0;
        bool any = false;
        for (QLineSeries *s : series)
            for (const QPointF &p : s->points()) {
                lo = any ? std::min(lo, p.y()) : std::min(floor, p.y());
                hi = any ? std::max(hi, p.y()) : std::max(floor + 1.0, p.y());
                any = true;
            }
        axis->setRange(lo, hi + (hi - lo) * 0.1);
        axis->applyNiceNumbers();
    };
    fit(plots_[0].left, {currents_[0], currents_[1], currents_[2], currents_[3], currents_[4],
                         currents_[5], currents_[6]},
        0.0);
    fit(plots_[1].left, {volts_}, 0.0);
    fit(plots_[1].right, {board_}, 0.0);
}

void TelemetryWindow::add_fault(const FaultEdge &e) {
    faults_->addItem(QDateTime::fromMSecsSinceEpoch(e.time_ms).toString(QStringLiteral("hh:mm:ss.zzz")) +
                     QStringLiteral("  ") + e.text());
    faults_->scrollToBottom();
}

void TelemetryWindow::redraw_from_history() {
    for (QLineSeries *s : currents_)
        s->clear();
    for (QLineSeries *s : {volts_, board_, die_})
        s->clear();
    for (QLineSeries *s : flags_)
        s->clear();
    const auto &history = workbench_.history();
    if (history.empty())
        return;
    if (origin_ms_ < 0)
        origin_ms_ = history.front().time_ms;
    const double from = seconds(history.back().time_ms) - kSpanSeconds;
    // Whole series at once: one change signal each instead of one per point.
    for (const TelemetrySample &s : history)
        if (seconds(s.time_ms) >= from)
            plot(s);
    scroll_to(seconds(history.back().time_ms));
}

void TelemetryWindow::set_paused(bool paused) {
    if (paused == paused_)
        return;
    paused_ = paused;
    pause_->setChecked(paused);
    pause_->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    if (!paused)
        redraw_from_history();
}

int TelemetryWindow::plotted_points() const {
    int n = 0;
    for (QLineSeries *s : currents_)
        n += s->count();
    for (QLineSeries *s : {volts_, board_, die_})
        n += s->count();
    for (QLineSeries *s : flags_)
        n += s->count();
    return n;
}
