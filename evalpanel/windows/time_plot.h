// One plot of the telemetry window: series read from the window's samples,
// drawn over a time range the window shares between its plots. Every plot
// keeps the same margins, so that at the same width one time falls on the
// same pixel column in each. A line breaks where its series was not
// measured (the chip did not answer, polling stopped, or its current source
// was not selected for a while), instead of joining the two sides.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPolygonF>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "device/telemetry.h"

class QPainter;

class TimePlot : public QWidget {
    Q_OBJECT

  public:
    // Room left and right of the plotting area, the same in every plot.
    static constexpr int kLeftMargin = 96;
    static constexpr int kRightMargin = 64;
    // Two samples further apart than this mean polling stopped between them.
    static constexpr int64_t kPollGapMs = 1000;

    // What a sample says of a series: a value, nothing (not measured in this
    // poll, but the line goes on), or a break in the line.
    struct Reading {
        enum Kind { Value, Skip, Break } kind = Break;
        double y = 0.0;
    };
    struct Series {
        QString name;
        QColor colour;
        bool right_axis = false;
        // Held as a step until the next value (flags), not a slope.
        bool step = false;
        // A series measured in turn with others breaks its line after this
        // many polls in a row that did not measure it.
        int max_skips = 0;
        std::function<Reading(const evalpanel::TelemetrySample &)> read;
    };

    TimePlot(const std::deque<evalpanel::TelemetrySample> &samples, const QString &title,
             const QString &left_unit, const QString &right_unit, QWidget *parent = nullptr);

    int add_series(Series series);
    const std::vector<Series> &series() const { return series_; }
    // Flags: the left axis shows one named row per series instead of values.
    // `extra` rows of room above them hold the right axis' series.
    void set_rows(bool rows, double extra = 0.0) {
        rows_ = rows;
        extra_rows_ = extra;
        frame_dirty_ = true;
    }
    void set_right_range(double lo, double hi) {
        right_fixed_ = true;
        right_lo_ = lo;
        right_hi_ = hi;
        frame_dirty_ = true;
    }

    // The shared time range (milliseconds since the epoch) and cursor.
    void set_range(int64_t from_ms, int64_t to_ms);
    int64_t from_ms() const { return from_ms_; }
    int64_t to_ms() const { return to_ms_; }
    void set_cursor(std::optional<int64_t> ms);

    // The pixel column of a time, and the time of a pixel column.
    double x_of(int64_t ms) const;
    int64_t time_at(double x) const;
    // The unbroken runs of a series as drawn, as (time ms, value): clipped
    // at the range's edges (a run crossing an edge gets a point on it), at
    // most a lowest and a highest point per pixel column. Kept until a
    // sample arrives, the range or the width changes.
    const std::vector<QPolygonF> &pieces(int series) const;
    // Pixel columns of the plotting area.
    int columns() const;
    // The value axis (lo, hi) that the runs in view fit in.
    std::pair<double, double> value_range(bool right) const;
    // The series' value at a time: the last value at or before it on an
    // unbroken run that reaches it; nothing in a gap. A binary search.
    std::optional<double> value_at(int series, int64_t ms) const;
    // A stretch without readings and its cause ("adapter lost", "chip
    // unpowered", "chip does not answer", "no polls" or what the window
    // notes for a pause in the polls, such as "flashing").
    struct Gap {
        int64_t from = 0, to = 0;
        QString text;
    };
    std::vector<Gap> gaps() const;
    void set_pause_notes(std::function<QString(int64_t from, int64_t to)> note) {
        note_of_ = std::move(note);
        frame_dirty_ = true;
    }
    // A series' unit in the read-out (none for flags).
    QString unit_of(int series) const {
        if (rows_ && !series_[static_cast<size_t>(series)].right_axis)
            return QString();
        return series_[static_cast<size_t>(series)].right_axis ? right_unit_ : left_unit_;
    }
    // The time ticks drawn: (time ms, label).
    std::vector<std::pair<int64_t, QString>> time_ticks() const;

  signals:
    void cursor_moved(std::optional<int64_t> ms);
    // The wheel: zoom by `factor` (below 1 zooms in) around `anchor_ms`.
    void zoom_requested(double factor, int64_t anchor_ms);
    // A drag: move the range by `delta_ms` (positive: later).
    void pan_requested(int64_t delta_ms);
    void live_requested();

  protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void changeEvent(QEvent *event) override;

  private:
    QRectF area() const;
    std::vector<QPolygonF> build(int series) const;
    void render(QPainter &p);

    struct CacheKey {
        int64_t from = 0, to = 0;
        int columns = 0;
        size_t count = 0;
        int64_t first = 0, last = 0;
        bool operator==(const CacheKey &) const = default;
    };

    const std::deque<evalpanel::TelemetrySample> &samples_;
    QString title_;
    QString left_unit_;
    QString right_unit_;
    std::vector<Series> series_;
    bool rows_ = false;
    double extra_rows_ = 0.0;
    bool right_fixed_ = false;
    double right_lo_ = 0.0;
    double right_hi_ = 1.0;
    int64_t from_ms_ = 0;
    int64_t to_ms_ = 1;
    std::optional<int64_t> cursor_;
    std::optional<double> drag_x_;
    CacheKey current_key() const;
    mutable CacheKey key_;
    QPixmap frame_;
    CacheKey frame_key_;
    bool frame_dirty_ = true;
    std::function<QString(int64_t, int64_t)> note_of_;
    mutable std::vector<std::optional<std::vector<QPolygonF>>> cache_;
};

namespace plot_runs {
// The part of a run of (time, value) points inside [from, to]: a segment
// crossing an edge is cut there, so a run that spans the whole range with
// no point inside it still shows.
QPolygonF clip(const QPolygonF &run, double from, double to);
// At most the lowest and the highest point (in time order) per column of
// `columns` equal columns over [from, to], and the run's two ends; the
// middle of a flat stretch goes.
QPolygonF decimate(const QPolygonF &run, double from, double to, int columns);
// A value axis with round ends that holds [lo, hi] and zero.
std::pair<double, double> fit(double lo, double hi);
} // namespace plot_runs
