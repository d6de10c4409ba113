// The telemetry window on samples made here: which runs a line is drawn in,
// where a time falls on each plot, the cursor, zoom and pan, the banner when
// the polls stop, the export of the range in view and the bounded Faults list.
#include "telemetry_window.h"
#include "time_plot.h"

#include <QDateTime>
#include <QLabel>
#include <QListWidget>
#include <gtest/gtest.h>

#include "device/device_session.h"
#include "device/session_view.h"
#include "device/workbench.h"

namespace {

using evalpanel::TelemetrySample;

constexpr int64_t kT0 = 1'700'000'000'000;

// One poll: 'r' ready, 'n' the chip not answering, '-' no poll at all (the
// polls stopped for two seconds); the digit that follows a 'r' is the
// current source of that poll.
std::deque<TelemetrySample> polls(const char *script) {
    std::deque<TelemetrySample> out;
    int64_t t = kT0;
    for (const char *c = script; *c; ++c) {
        if (*c == '-') {
            t += 2000;
            continue;
        }
        if (*c >= '0' && *c <= '9')
            continue;
        TelemetrySample s;
        s.time_ms = t;
        s.state = evalpanel::kConnected;
        s.fresh = *c == 'r';
        s.current_source = c[1] >= '0' && c[1] <= '9' ? c[1] - '0' : 7;
        s.current_ma = s.fresh && s.current_source < 7 ? 100 * (s.current_source + 1) : -1;
        s.board_valid = s.fresh;
        s.board_celsius = 25.0;
        s.buck5_volts = 1.8;
        out.push_back(s);
        t += 150;
    }
    return out;
}

class TelemetryTest : public testing::Test {
  protected:
    void feed(const std::deque<TelemetrySample> &samples) {
        for (const auto &s : samples)
            emit workbench.sampled(s);
    }
    evalpanel::DeviceSession session;
    evalpanel::Workbench workbench{session};
    evalpanel::SessionView view{session};
};

// The load-current plot breaks a line where nothing was measured.
TEST_F(TelemetryTest, CurrentLinesBreakWhereNothingWasMeasured) {
    const struct {
        const char *script;
        int series; // 0..5 a buck's current, 6 the total
        std::vector<int> runs; // points per unbroken run
    } rows[] = {
        {"r0r0r0r0", 0, {2}},           // a flat stretch keeps its ends
        {"r0r0nr0r0", 0, {2, 2}},       // the chip did not answer one poll
        {"r0r0-r0r0", 0, {2, 2}},       // the polls stopped for 2 s
        {"r0r0r0r0", 1, {}},            // never selected: not drawn at all
        {"r0r1r2r3r4r5r6r0", 0, {2}},   // measured in turn: one line
        {"r0r1r2r3r4r5r6r0", 6, {1}},
        {"r0r1r1r1r1r1r1r1r1r0", 0, {1, 1}}, // unmeasured for 8 polls: broken
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.script);
        TelemetryWindow w(view, workbench);
        const auto samples = polls(r.script);
        feed(samples);
        w.set_range(kT0 - 1000, samples.back().time_ms + 1000);
        std::vector<int> runs;
        for (const QPolygonF &p : w.plots()[0]->pieces(r.series))
            runs.push_back(static_cast<int>(p.size()));
        EXPECT_EQ(runs, r.runs);
    }
}

// A run is cut at the view's edges, so one that crosses the view with no
// point inside it still shows; per pixel column at most a low and a high.
TEST(PlotRuns, ClipAndDecimate) {
    using P = std::vector<QPointF>;
    const struct {
        P run;
        double from, to;
        int columns;
        P want;
    } rows[] = {
        {{{0, 25}, {100, 25}}, 40, 60, 100, {{40, 25}, {60, 25}}},   // flat, across the view
        {{{0, 0}, {100, 100}}, 25, 75, 100, {{25, 25}, {75, 75}}},   // a slope, cut on both sides
        {{{0, 0}, {50, 50}, {60, 0}}, 25, 75, 100, {{25, 25}, {50, 50}, {60, 0}}}, // enters
        {{{0, 0}, {10, 5}}, 25, 75, 100, {}},                        // before the view
        {{{30, 7}}, 25, 75, 100, {{30, 7}}},                         // a lone point
        {{{80, 7}}, 25, 75, 100, {}},
        // Ten points in one column: the ends, its first high and low.
        {{{0, 1}, {1, 5}, {2, 0}, {3, 5}, {4, 2}, {5, 3}, {6, 0}, {7, 1}, {8, 4}, {9, 2}},
         0, 10, 1, {{0, 1}, {1, 5}, {2, 0}, {9, 2}}},
        // Two columns; a flat stretch keeps only its ends.
        {{{0, 3}, {4, 3}, {6, 3}, {9, 3}}, 0, 10, 2, {{0, 3}, {9, 3}}},
        {{{0, 1}, {4, 8}, {6, 2}, {9, 9}}, 0, 10, 2, {{0, 1}, {4, 8}, {6, 2}, {9, 9}}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.from << ".." << r.to << " in " << r.columns);
        const QPolygonF run(QList<QPointF>(r.run.begin(), r.run.end()));
        const QPolygonF got = plot_runs::decimate(plot_runs::clip(run, r.from, r.to), r.from, r.to,
                                                  r.columns);
        EXPECT_EQ(P(got.begin(), got.end()), r.want);
    }
    // A flat 25 at any zoom: an axis that holds it.
    EXPECT_EQ(plot_runs::fit(25, 25), std::make_pair(0.0, 30.0));
    EXPECT_EQ(plot_runs::fit(0, 0), std::make_pair(0.0, 1.0));
    EXPECT_EQ(plot_runs::fit(-40, 10), std::make_pair(-50.0, 20.0));
}

// Paused and zoomed inside a flat stretch of the board temperature: it is
// drawn, on an axis that holds it; at the whole history every run has at
// most two points per column, and the cursor reads the samples.
TEST_F(TelemetryTest, FlatSeriesZoomedAndDecimated) {
    TelemetryWindow w(view, workbench);
    w.resize(1100, 760);
    w.show();
    std::string script;
    for (int i = 0; i < 4000; ++i)
        script += i % 2 ? "r0" : "r1";
    auto samples = polls(script.c_str());
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i].current_ma = static_cast<int>(i % 7) * 50;
    feed(samples);
    TimePlot *supply = w.plots()[1];
    w.set_range(kT0 + 200000, kT0 + 201000);
    EXPECT_TRUE(w.paused());
    ASSERT_EQ(supply->pieces(1).size(), 1u);
    EXPECT_EQ(supply->pieces(1)[0].size(), 2);
    EXPECT_EQ(supply->value_range(true), std::make_pair(0.0, 30.0));

    w.set_range(kT0, samples.back().time_ms);
    TimePlot *current = w.plots()[0];
    for (int series : {0, 1}) {
        ASSERT_EQ(current->pieces(series).size(), 1u);
        EXPECT_LE(current->pieces(series)[0].size(), 2 * current->columns() + 2);
        EXPECT_GT(current->pieces(series)[0].size(), current->columns());
    }
    for (size_t i : {size_t(10), size_t(11), size_t(3001)}) {
        const int source = samples[i].current_source;
        EXPECT_EQ(current->value_at(source, samples[i].time_ms + 10), samples[i].current_ma) << i;
    }
}

TEST_F(TelemetryTest, OneTimeAxisCursorAndGaps) {
    TelemetryWindow w(view, workbench);
    w.resize(1100, 760);
    w.show();
    // Ten seconds of polls, a 64 s unplug, ten more: the board temperature
    // is not drawn across the unplug.
    auto samples = polls("r0r0r0r0r0r0r0r0r0r0r0r0r0r0r0r0r0r0r0r0");
    const int64_t back = samples.back().time_ms + 64000;
    auto after = polls("r0r0r0r0r0r0r0r0r0r0");
    for (auto &s : after)
        s.time_ms += back - kT0;
    feed(samples);
    feed(after);
    w.set_range(kT0 - 5000, after.back().time_ms + 5000);

    TimePlot *supply = w.plots()[1];
    EXPECT_EQ(supply->pieces(1).size(), 2u); // the board temperature, both sides
    // Every plot puts one time on the same pixel column, ticks included.
    for (int64_t t : {kT0, kT0 + 30000, after.back().time_ms}) {
        for (TimePlot *p : w.plots()) {
            EXPECT_EQ(p->width(), w.plots()[0]->width());
            EXPECT_DOUBLE_EQ(p->x_of(t), w.plots()[0]->x_of(t));
            EXPECT_EQ(p->time_ticks(), w.plots()[0]->time_ticks());
        }
    }
    // The cursor reads every series at one time, and nothing in the gap.
    // With units; cleared when the pointer leaves.
    w.set_cursor(kT0 + 1000);
    EXPECT_TRUE(w.readout_lines().contains(QRegularExpression("Buck0 +100 mA\\b")))
        << w.readout_lines().toStdString();
    EXPECT_TRUE(w.readout_lines().contains(QRegularExpression("Board \\(\u00b0C\\) +25 \u00b0C")));
    w.set_cursor(kT0 + 30000);
    EXPECT_TRUE(w.readout_lines().contains(QRegularExpression("Buck0 +\u2013")));
    // The unplug is shaded and named on every plot.
    const auto gaps = supply->gaps();
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].text, "no polls");
    w.note_pause(gaps[0].from + 1, gaps[0].to - 1, "flashing");
    EXPECT_EQ(supply->gaps()[0].text, "flashing");
    w.set_cursor(std::nullopt);
    EXPECT_TRUE(w.readout_lines().isEmpty());
    EXPECT_FALSE(w.readout()->text().contains("Buck0"));

    // Zoom halves the span around the anchor; pan moves it; the CSV holds
    // the polls in view only.
    w.set_range(kT0, kT0 + 4000);
    w.zoom(0.5, kT0 + 2000);
    EXPECT_EQ(w.from_ms(), kT0 + 1000);
    EXPECT_EQ(w.to_ms(), kT0 + 3000);
    w.pan(-1000);
    EXPECT_EQ(w.from_ms(), kT0);
    const QList<QByteArray> lines = w.visible_csv().trimmed().split('\n');
    EXPECT_TRUE(lines[0].startsWith("time_s,clock,state"));
    EXPECT_EQ(lines.size(), 1 + 14); // polls at 0, 150 ... 1950 ms
    // The clock column holds the date, the time and the offset from UTC.
    const QDateTime clock = QDateTime::fromString(QString::fromUtf8(lines[1].split(',')[1]), Qt::ISODateWithMs);
    EXPECT_EQ(clock.toMSecsSinceEpoch(), kT0) << lines[1].toStdString();
    // The picture carries a line under the plots: date, chip, version, range.
    const QImage image = w.visible_image();
    EXPECT_GT(image.height(), w.plots()[0]->parentWidget()->height());
    EXPECT_TRUE(w.image_stamp().contains(QDateTime::fromMSecsSinceEpoch(kT0).toString("yyyy-MM-dd hh:mm:ss")))
        << w.image_stamp().toStdString();
    w.follow();
    EXPECT_EQ(w.to_ms(), after.back().time_ms);
}

// Each stretch without readings is named by its cause.
TEST_F(TelemetryTest, GapsSayWhy) {
    const struct {
        int state, supply;
        const char *text;
    } rows[] = {{0, -1, "adapter lost"}, {2, 0, "chip unpowered"}, {2, 1, "chip does not answer"}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        TelemetryWindow w(view, workbench);
        auto samples = polls("r0r0nnnnr0r0");
        for (auto &s : samples)
            if (!s.fresh)
                s.state = r.state, s.supply = r.supply;
        feed(samples);
        w.set_range(kT0, samples.back().time_ms);
        const auto gaps = w.plots()[0]->gaps();
        ASSERT_EQ(gaps.size(), 1u);
        EXPECT_EQ(gaps[0].text, r.text);
        // From the last reading before to the first after.
        EXPECT_EQ(gaps[0].from, samples[1].time_ms);
        EXPECT_EQ(gaps[0].to, samples[6].time_ms);
    }
}

TEST_F(TelemetryTest, BannerWhenThePollsStopAndBoundedFaults) {
    TelemetryWindow w(view, workbench);
    int64_t now = kT0;
    w.set_clock([&now] { return now; });
    w.show();
    const struct {
        const char *script; // fed now
        int64_t later;      // then the clock moves on by this
        const char *banner; // empty: hidden
    } rows[] = {
        {"", 0, "no polls yet"},
        {"r0r0", 0, ""},
        {"", 5000, "no polls since "},
        {"nn", 0, "no readings since "},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.script);
        auto samples = polls(r.script);
        for (auto &s : samples)
            s.time_ms = now, now += 150;
        feed(samples);
        now += r.later;
        w.check_stale();
        const QString shown = w.stale_banner()->text();
        EXPECT_EQ(shown.isEmpty(), *r.banner == 0) << shown.toStdString();
        if (*r.banner != 0) {
            EXPECT_TRUE(shown.startsWith(QString::fromLatin1(r.banner))) << shown.toStdString();
        }
    }

    // The Faults list is bounded by count and by age.
    const auto edge = [&](int64_t t, const char *name) {
        emit workbench.fault_edge(evalpanel::FaultEdge{t, QString::fromLatin1(name), true});
    };
    for (int i = 0; i < TelemetryWindow::kMaxFaultLines + 10; ++i)
        edge(kT0 + i, "SCP");
    EXPECT_EQ(w.faults()->count(), TelemetryWindow::kMaxFaultLines);
    edge(kT0 + TelemetryWindow::kFaultAgeMs + 5000, "adapter lost");
    EXPECT_EQ(w.faults()->count(), 1);
    EXPECT_TRUE(w.faults()->item(0)->text().endsWith(QStringLiteral("adapter lost rise")));
}

} // namespace
