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

} // namespace

TelemetryWindow::TelemetryWindow(Workbench &workbench, QWidget *parent)
    : QWidget(parent, Qt::Window) {
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
        currents_.push_back({s, {}});
    }
    Plot supply = make_plot(QStringLiteral("Buck5 output and board temperature"),
                            QStringLiteral("V"), QStringLiteral("\u00b0C"));
    volts_.series = new QLineSeries;
    volts_.series->setName(QStringLiteral("Buck5 (V)"));
    board_.series = new QLineSeries;
    board_.series->setName(QStringLiteral("Board (\u00b0C)"));
    supply.chart->addSeries(volts_.series);
    supply.chart->addSeries(board_.series);
    volts_.series->attachAxis(supply.time);
    volts_.series->attachAxis(supply.left);
    board_.series->attachAxis(supply.time);
    board_.series->attachAxis(supply.right);

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
        flags_.push_back({s, {}});
    }
    die_.series = new QLineSeries;
    die_.series->setName(QStringLiteral("Die level"));
    flags.chart->addSeries(die_.series);
    die_.series->attachAxis(flags.time);
    die_.series->attachAxis(flags.right);
    for (const Trace &f : flags_)
        flags.chart->legend()->markers(f.series).value(0)->setVisible(false);
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

    // Created with the program, before the first poll: every sample and
    // fault arrives through these signals.
    redraw_from_history();
    connect(&workbench, &Workbench::sampled, this, &TelemetryWindow::add);
    connect(&workbench, &Workbench::fault_edge, this, &TelemetryWindow::add_fault);
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
    p.time->setTitleText(QStringLiteral("seconds before the last poll"));
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

void TelemetryWindow::Trace::append(double t, double y) {
    // A run of equal values keeps only its first and last point: flat
    // stretches cost nothing to draw.
    const qsizetype n = points.size();
    if (n >= 2 && points[n - 1].y() == y && points[n - 2].y() == y)
        points[n - 1].setX(t);
    else
        points.append(QPointF(t, y));
}

void TelemetryWindow::Trace::trim(double from) {
    // Points that scrolled out of view go, but the last of them stays as
    // the start of the line into view.
    qsizetype n = 0;
    while (n + 1 < points.size() && points[n + 1].x() < from)
        ++n;
    points.remove(0, n);
}

void TelemetryWindow::add(const TelemetrySample &s) {
    history_.push_back(s);
    while (s.time_ms - history_.front().time_ms > Workbench::kHistoryMs)
        history_.pop_front();
    // A hidden or paused window draws nothing; showing or resuming it
    // draws the history kept meanwhile.
    if (paused_ || !isVisible())
        return;
    plot(s);
    if (drawn_ms_ < 0 || s.time_ms - drawn_ms_ >= kRedrawMs) {
        drawn_ms_ = s.time_ms;
        draw();
    }
}

void TelemetryWindow::plot(const TelemetrySample &s) {
    if (origin_ms_ < 0)
        origin_ms_ = s.time_ms;
    const double t = seconds(s.time_ms);
    newest_ = t;
    if (s.ready()) {
        const int c = current_field_for_source(s.current_source);
        if (c >= 0 && s.current_ma >= 0)
            currents_[static_cast<size_t>(c)].append(t, s.current_ma);
        volts_.append(t, s.buck5_volts);
        if (s.die_level >= 0)
            die_.append(t, s.die_level);
        const auto &bits = flag_bits();
        for (size_t i = 0; i < bits.size(); ++i) {
            const double y = static_cast<double>(i) + (s.bit(bits[i]) == 1 ? kRaised : 0.0);
            Trace &trace = flags_[i];
            // A step: the old level up to now, then the new one.
            if (!trace.points.isEmpty() && trace.points.constLast().y() != y)
                trace.points.append(QPointF(t, trace.points.constLast().y()));
            trace.append(t, y);
        }
    }
    if (s.board_valid)
        board_.append(t, s.board_celsius);
}

void TelemetryWindow::draw() {
    const double from = newest_ - kSpanSeconds;
    std::vector<Trace *> all;
    for (Trace &t : currents_)
        all.push_back(&t);
    for (Trace *t : {&volts_, &board_, &die_})
        all.push_back(t);
    for (Trace &t : flags_)
        all.push_back(&t);
    for (Trace *trace : all) {
        trace->trim(from);
        QList<QPointF> shown = trace->points;
        for (QPointF &p : shown)
            p.setX(p.x() - newest_);
        trace->series->replace(shown);
    }
    // Value axes fit what is shown, with a little room; they are touched
    // only when that changes.
    const auto fit = [](QValueAxis *axis, std::initializer_list<const Trace *> traces) {
        double lo = 0.0, hi = 1.0;
        for (const Trace *t : traces)
            for (const QPointF &p : t->points) {
                lo = std::min(lo, p.y());
                hi = std::max(hi, p.y());
            }
        QValueAxis probe;
        probe.setRange(lo, hi + (hi - lo) * 0.1);
        probe.applyNiceNumbers();
        if (probe.min() != axis->min() || probe.max() != axis->max())
            axis->setRange(probe.min(), probe.max());
    };
    fit(plots_[0].left, {&currents_[0], &currents_[1], &currents_[2], &currents_[3],
                         &currents_[4], &currents_[5], &currents_[6]});
    fit(plots_[1].left, {&volts_});
    fit(plots_[1].right, {&board_});
}

void TelemetryWindow::add_fault(const FaultEdge &e) {
    faults_->addItem(QDateTime::fromMSecsSinceEpoch(e.time_ms).toString(QStringLiteral("hh:mm:ss.zzz")) +
                     QStringLiteral("  ") + e.text());
    faults_->scrollToBottom();
}

void TelemetryWindow::redraw_from_history() {
    for (Trace &t : currents_)
        t.points.clear();
    for (Trace *t : {&volts_, &board_, &die_})
        t->points.clear();
    for (Trace &t : flags_)
        t.points.clear();
    const auto &history = history_;
    if (!history.empty()) {
        if (origin_ms_ < 0)
            origin_ms_ = history.front().time_ms;
        const double from = seconds(history.back().time_ms) - kSpanSeconds;
        for (const TelemetrySample &s : history)
            if (seconds(s.time_ms) >= from)
                plot(s);
        drawn_ms_ = history.back().time_ms;
    }
    draw();
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
    for (const Trace &t : currents_)
        n += t.series->count();
    for (const Trace *t : {&volts_, &board_, &die_})
        n += t->series->count();
    for (const Trace &t : flags_)
        n += t.series->count();
    return n;
}
