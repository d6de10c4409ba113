#include "time_plot.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

using namespace evalpanel;

namespace {

constexpr int kTop = 24;    // title and legend
constexpr int kBottom = 30; // time labels

// Tick spacing of about `count` ticks over [lo, hi]: 1, 2 or 5 times a power of ten.
double nice_step(double span, int count) {
    const double raw = span / std::max(1, count);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw)
            return m * power;
    return 10.0 * power;
}

// A flag's lane: a grey line where it was 0, a filled band where it was 1
// (at least two pixels wide, so that one raised poll in a long view shows).
void draw_lane(QPainter &p, const QPolygonF &px, double base, const QColor &colour) {
    p.setPen(QPen(QColor(150, 150, 150), 1.0));
    p.drawLine(QPointF(px.constFirst().x(), base), QPointF(px.constLast().x(), base));
    for (qsizetype i = 0; i < px.size(); ++i) {
        if (px[i].y() >= base - 0.5)
            continue;
        const bool next_raised = i + 1 < px.size() && px[i + 1].y() < base - 0.5;
        const double right = next_raised ? std::max(px[i + 1].x(), px[i].x() + 1) : px[i].x() + 2;
        p.fillRect(QRectF(QPointF(px[i].x(), px[i].y()), QPointF(right, base + 1)), colour);
    }
}

} // namespace

TimePlot::TimePlot(const std::deque<TelemetrySample> &samples, const QString &title,
                   const QString &left_unit, const QString &right_unit, QWidget *parent)
    : QWidget(parent), samples_(samples), title_(title), left_unit_(left_unit),
      right_unit_(right_unit) {
    setMouseTracking(true);
    setMinimumHeight(150);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int TimePlot::add_series(Series series) {
    series_.push_back(std::move(series));
    frame_dirty_ = true;
    return static_cast<int>(series_.size()) - 1;
}

void TimePlot::set_range(int64_t from_ms, int64_t to_ms) {
    from_ms_ = from_ms;
    to_ms_ = std::max(to_ms, from_ms + 1);
    update();
}

void TimePlot::set_cursor(std::optional<int64_t> ms) {
    cursor_ = ms;
    update();
}

QRectF TimePlot::area() const {
    return QRectF(kLeftMargin, kTop, std::max(1, width() - kLeftMargin - kRightMargin),
                  std::max(1, height() - kTop - kBottom));
}

double TimePlot::x_of(int64_t ms) const {
    const QRectF a = area();
    return a.left() + a.width() * static_cast<double>(ms - from_ms_) /
                          static_cast<double>(to_ms_ - from_ms_);
}

int64_t TimePlot::time_at(double x) const {
    const QRectF a = area();
    return from_ms_ + static_cast<int64_t>(std::llround((x - a.left()) / a.width() *
                                                        static_cast<double>(to_ms_ - from_ms_)));
}

std::vector<QPolygonF> TimePlot::build(int index) const {
    std::vector<QPolygonF> out;
    const Series &series = series_[static_cast<size_t>(index)];
    const auto from = static_cast<double>(from_ms_);
    const auto to = static_cast<double>(to_ms_);
    const int cols = columns();
    // From a few polls before the range, so that a line entering it (or a
    // current measured in turn) starts where it was last measured.
    auto first = std::lower_bound(samples_.begin(), samples_.end(), from_ms_,
                                  [](const TelemetrySample &s, int64_t t) { return s.time_ms < t; });
    first -= std::min<std::ptrdiff_t>(first - samples_.begin(), series.max_skips + 2);
    QPolygonF run;
    const auto close = [&] {
        if (!run.isEmpty()) {
            QPolygonF shown = plot_runs::decimate(plot_runs::clip(run, from, to), from, to, cols);
            if (!shown.isEmpty())
                out.push_back(std::move(shown));
        }
        run.clear();
    };
    int skips = 0;
    int64_t previous = -1;
    for (auto it = first; it != samples_.end(); ++it) {
        const TelemetrySample &s = *it;
        if (previous >= 0 && s.time_ms - previous > kPollGapMs)
            close();
        previous = s.time_ms;
        const Reading r = series.read(s);
        if (r.kind == Reading::Break) {
            close();
        } else if (r.kind == Reading::Skip) {
            if (series.max_skips > 0 && ++skips > series.max_skips)
                close();
        } else {
            skips = 0;
            const auto t = static_cast<double>(s.time_ms);
            const qsizetype n = run.size();
            if (n >= 2 && run[n - 1].y() == r.y && run[n - 2].y() == r.y) {
                // A flat stretch keeps only its ends: most flags stay flat.
                run[n - 1].setX(t);
            } else {
                if (series.step && n > 0 && run[n - 1].y() != r.y)
                    run << QPointF(t, run[n - 1].y());
                run << QPointF(t, r.y);
            }
        }
        if (s.time_ms > to_ms_)
            break;
    }
    close();
    return out;
}

int TimePlot::columns() const {
    return std::max(1, static_cast<int>(area().width()));
}

const std::vector<QPolygonF> &TimePlot::pieces(int index) const {
    const CacheKey key = current_key();
    if (!(key == key_) || cache_.size() != series_.size()) {
        key_ = key;
        cache_.assign(series_.size(), std::nullopt);
    }
    auto &slot = cache_[static_cast<size_t>(index)];
    if (!slot)
        slot = build(index);
    return *slot;
}

std::optional<double> TimePlot::value_at(int index, int64_t ms) const {
    const Series &series = series_[static_cast<size_t>(index)];
    const auto after = std::upper_bound(samples_.begin(), samples_.end(), ms,
                                        [](int64_t t, const TelemetrySample &s) { return t < s.time_ms; });
    if (after == samples_.begin())
        return std::nullopt;
    // Back to the last value at or before the time, on the same run...
    int skips = 0;
    std::optional<double> found;
    auto it = std::prev(after);
    for (;; --it) {
        if (it != std::prev(after) && std::next(it)->time_ms - it->time_ms > kPollGapMs)
            return std::nullopt;
        const Reading r = series.read(*it);
        if (r.kind == Reading::Break)
            return std::nullopt;
        if (r.kind == Reading::Value) {
            found = r.y;
            break;
        }
        if ((series.max_skips > 0 && ++skips > series.max_skips) || it == samples_.begin())
            return std::nullopt;
    }
    if (it->time_ms == ms)
        return found;
    // ...and on to the next, which must be on the same run: the line
    // reaches the time.
    for (auto next = after; next != samples_.end(); ++next) {
        if (next->time_ms - std::prev(next)->time_ms > kPollGapMs)
            return std::nullopt;
        const Reading r = series.read(*next);
        if (r.kind == Reading::Break)
            return std::nullopt;
        if (r.kind == Reading::Value)
            return found;
        if (series.max_skips > 0 && ++skips > series.max_skips)
            return std::nullopt;
    }
    return std::nullopt;
}

std::vector<std::pair<int64_t, QString>> TimePlot::time_ticks() const {
    static const int64_t kSteps[] = {1000,   2000,   5000,    10000,   15000,  30000,
                                     60000,  120000, 300000,  600000,  1800000, 3600000};
    const double px_per_ms = area().width() / static_cast<double>(to_ms_ - from_ms_);
    int64_t step = kSteps[std::size(kSteps) - 1];
    for (int64_t s : kSteps)
        if (static_cast<double>(s) * px_per_ms >= 80.0) {
            step = s;
            break;
        }
    // Ticks on whole steps of the local clock.
    const int64_t offset =
        static_cast<int64_t>(QDateTime::fromMSecsSinceEpoch(from_ms_).offsetFromUtc()) * 1000;
    int64_t t = ((from_ms_ + offset + step - 1) / step) * step - offset;
    std::vector<std::pair<int64_t, QString>> ticks;
    for (; t <= to_ms_; t += step)
        ticks.emplace_back(t, QDateTime::fromMSecsSinceEpoch(t).toString(QStringLiteral("hh:mm:ss")));
    return ticks;
}

std::pair<double, double> TimePlot::value_range(bool right) const {
    if (right && right_fixed_)
        return {right_lo_, right_hi_};
    if (rows_ && !right)
        return {-0.3, static_cast<double>(series_.size()) - 0.3 + extra_rows_};
    double lo = 0.0, hi = 0.0;
    for (size_t i = 0; i < series_.size(); ++i) {
        if (series_[i].right_axis != right)
            continue;
        // Every point of a run is in view: the runs are clipped.
        for (const QPolygonF &run : pieces(static_cast<int>(i)))
            for (const QPointF &p : run) {
                lo = std::min(lo, p.y());
                hi = std::max(hi, p.y());
            }
    }
    return plot_runs::fit(lo, hi);
}

TimePlot::CacheKey TimePlot::current_key() const {
    return {from_ms_,
            to_ms_,
            columns(),
            samples_.size(),
            samples_.empty() ? 0 : samples_.front().time_ms,
            samples_.empty() ? 0 : samples_.back().time_ms};
}

void TimePlot::paintEvent(QPaintEvent *) {
    // The plot is drawn once into a picture, kept until a sample arrives,
    // the range or the size changes: a cursor move draws only its line.
    const qreal ratio = devicePixelRatioF();
    const CacheKey key = current_key();
    if (frame_dirty_ || !(key == frame_key_) || frame_.size() != size() * ratio) {
        frame_ = QPixmap(size() * ratio);
        frame_.setDevicePixelRatio(ratio);
        QPainter fp(&frame_);
        render(fp);
        frame_key_ = key;
        frame_dirty_ = false;
    }
    QPainter p(this);
    p.drawPixmap(0, 0, frame_);
    const QRectF a = area();
    if (cursor_ && *cursor_ >= from_ms_ && *cursor_ <= to_ms_) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1.0));
        const double x = x_of(*cursor_);
        p.drawLine(QPointF(x, a.top()), QPointF(x, a.bottom()));
    }
}

void TimePlot::changeEvent(QEvent *event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange ||
        event->type() == QEvent::StyleChange)
        frame_dirty_ = true;
    QWidget::changeEvent(event);
}

std::vector<TimePlot::Gap> TimePlot::gaps() const {
    std::vector<Gap> out;
    auto it = std::lower_bound(samples_.begin(), samples_.end(), from_ms_,
                               [](const TelemetrySample &s, int64_t t) { return s.time_ms < t; });
    if (it != samples_.begin())
        --it;
    const auto cause = [](const TelemetrySample &s) -> QString {
        if (s.ready())
            return QString();
        if (s.state == 0) // no adapter
            return QStringLiteral("adapter lost");
        if (s.supply == 0)
            return QStringLiteral("chip unpowered");
        return QStringLiteral("chip does not answer");
    };
    const auto add = [&out](int64_t from, int64_t to, const QString &text) {
        if (!out.empty() && out.back().text == text && out.back().to >= from)
            out.back().to = std::max(out.back().to, to);
        else
            out.push_back({from, to, text});
    };
    const TelemetrySample *previous = nullptr;
    for (; it != samples_.end(); ++it) {
        const TelemetrySample &s = *it;
        if (previous && s.time_ms - previous->time_ms > kPollGapMs) {
            const QString noted = note_of_ ? note_of_(previous->time_ms, s.time_ms) : QString();
            add(previous->time_ms, s.time_ms, noted.isEmpty() ? QStringLiteral("no polls") : noted);
        }
        const QString why = cause(s);
        if (!why.isEmpty())
            // Until the next poll: that is when it was seen to end.
            add(previous ? previous->time_ms : s.time_ms,
                std::next(it) != samples_.end() ? std::next(it)->time_ms : s.time_ms, why);
        previous = &s;
        if (s.time_ms > to_ms_)
            break;
    }
    return out;
}

void TimePlot::render(QPainter &p) {
    const QPalette &pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Window));
    const QRectF a = area();
    p.fillRect(a, pal.color(QPalette::Base));
    const QColor text = pal.color(QPalette::Text);
    QColor grid = pal.color(QPalette::Text);
    grid.setAlphaF(0.18f);
    const QFontMetrics fm(font());

    // Title, then the legend on the same line.
    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(pal.color(QPalette::WindowText));
    p.drawText(QPointF(a.left(), fm.ascent() + 4), title_);
    p.setFont(font());
    double lx = a.left() + QFontMetrics(bold).horizontalAdvance(title_) + 16;
    if (!rows_)
        for (const Series &s : series_) {
            p.fillRect(QRectF(lx, 6, 10, 10), s.colour);
            lx += 14;
            p.drawText(QPointF(lx, fm.ascent() + 4), s.name);
            lx += fm.horizontalAdvance(s.name) + 12;
        }

    // Time grid and labels: the same columns in every plot.
    p.setPen(text);
    for (const auto &[t, label] : time_ticks()) {
        const double x = x_of(t);
        p.setPen(grid);
        p.drawLine(QPointF(x, a.top()), QPointF(x, a.bottom()));
        // A label that would run into the value axis is left out.
        const int w = fm.horizontalAdvance(label);
        if (x - w / 2.0 < a.left() - 4 || x + w / 2.0 > a.right() + 4)
            continue;
        p.setPen(pal.color(QPalette::WindowText));
        p.drawText(QPointF(x - w / 2.0, a.bottom() + fm.ascent() + 4), label);
    }

    // Value axes.
    const auto [llo, lhi] = value_range(false);
    auto [rlo, rhi] = value_range(true);
    // Labels of the right axis: its own range only.
    const double right_label_lo = rlo, right_label_hi = rhi;
    if (rows_) {
        // The right axis' series get a lane of their own above the rows,
        // never drawn over them.
        const auto first_right = std::find_if(series_.begin(), series_.end(),
                                              [](const Series &x) { return x.right_axis; });
        const double bottom = static_cast<double>(first_right - series_.begin()) + 0.2;
        const double top = lhi - 0.1;
        if (top > bottom) {
            const double per_row = (rhi - rlo) / (top - bottom);
            const double lo0 = rlo;
            rlo = lo0 - (bottom - llo) * per_row;
            rhi = rhi + (lhi - top) * per_row;
        }
    }
    const auto y_of = [&a](double v, double lo, double hi) {
        return a.bottom() - (v - lo) / (hi - lo) * a.height();
    };
    const auto axis = [&](double lo, double hi, bool right, const QString &unit) {
        const double from = right && rows_ ? right_label_lo : lo;
        const double to = right && rows_ ? right_label_hi : hi;
        const double step = right && rows_ ? nice_step(to - from, 3)
                                           : nice_step(hi - lo, std::max(2, static_cast<int>(a.height() / 40)));
        for (double v = std::ceil(from / step) * step; v <= to + step * 1e-6; v += step) {
            const double y = y_of(v, lo, hi);
            if (!right) {
                p.setPen(grid);
                p.drawLine(QPointF(a.left(), y), QPointF(a.right(), y));
            }
            p.setPen(pal.color(QPalette::WindowText));
            const QString label = QString::number(v, 'g', 4);
            const int w = fm.horizontalAdvance(label);
            p.drawText(QPointF(right ? a.right() + 6 : a.left() - w - 6, y + fm.ascent() / 2.0 - 1), label);
        }
        p.save();
        p.translate(right ? width() - fm.height() : fm.height(), a.center().y());
        p.rotate(right ? 90 : -90);
        p.drawText(QPointF(-fm.horizontalAdvance(unit) / 2.0, 0), unit);
        p.restore();
    };
    if (rows_) {
        p.setPen(pal.color(QPalette::WindowText));
        for (size_t i = 0; i < series_.size(); ++i) {
            const QString &name = series_[i].name;
            if (series_[i].right_axis)
                continue;
            const double y = y_of(static_cast<double>(i), llo, lhi);
            p.drawText(QPointF(a.left() - fm.horizontalAdvance(name) - 6, y + fm.ascent() / 2.0 - 1), name);
        }
    } else {
        axis(llo, lhi, false, left_unit_);
    }
    if (!right_unit_.isEmpty())
        axis(rlo, rhi, true, right_unit_);

    // The series, each run on its own: no line across a gap.
    // Without antialiasing: a plot is redrawn once a second while it
    // follows the polls, and smooth lines would cost several times more.
    p.save();
    p.setClipRect(a);
    for (int i = 0; i < static_cast<int>(series_.size()); ++i) {
        const Series &s = series_[static_cast<size_t>(i)];
        // Two one-pixel lines, one below the other: as thick as a 2 px pen
        // at a fraction of its cost (no joins to compute).
        QPen pen(s.colour, 1.0);
        pen.setCosmetic(true);
        p.setPen(pen);
        const double lo = s.right_axis ? rlo : llo;
        const double hi = s.right_axis ? rhi : lhi;
        const bool lane = rows_ && s.step && !s.right_axis;
        for (const QPolygonF &run : pieces(i)) {
            QPolygonF px;
            px.reserve(run.size());
            for (const QPointF &q : run)
                px << QPointF(std::round(x_of(static_cast<int64_t>(q.x()))), std::round(y_of(q.y(), lo, hi)));
            if (lane) {
                draw_lane(p, px, y_of(static_cast<double>(i), lo, hi), s.colour);
            } else if (px.size() == 1) {
                p.drawEllipse(px.constFirst(), 1.5, 1.5);
            } else {
                p.drawPolyline(px);
                px.translate(0, 1);
                p.drawPolyline(px);
            }
        }
    }
    p.restore();

    // Gaps: shaded and named by their cause where there is room.
    QColor shade = pal.color(QPalette::Text);
    shade.setAlphaF(0.07f);
    for (const Gap &g : gaps()) {
        const double x0 = std::max(a.left(), x_of(g.from));
        const double x1 = std::min(a.right(), x_of(g.to));
        if (x1 - x0 < 2)
            continue;
        p.fillRect(QRectF(x0, a.top(), x1 - x0, a.height()), shade);
        const int w = fm.horizontalAdvance(g.text);
        if (x1 - x0 >= w + 6) {
            p.setPen(pal.color(QPalette::WindowText));
            p.drawText(QPointF((x0 + x1 - w) / 2.0, a.top() + fm.ascent() + 3), g.text);
        }
    }

    p.setPen(grid);
    p.drawRect(a);
}

void TimePlot::mouseMoveEvent(QMouseEvent *event) {
    const double x = event->position().x();
    if (drag_x_) {
        const double ms_per_px = static_cast<double>(to_ms_ - from_ms_) / area().width();
        emit pan_requested(static_cast<int64_t>(std::llround((*drag_x_ - x) * ms_per_px)));
        drag_x_ = x;
        return;
    }
    const QRectF a = area();
    emit cursor_moved(x >= a.left() && x <= a.right() ? std::optional<int64_t>(time_at(x))
                                                     : std::nullopt);
}

void TimePlot::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        drag_x_ = event->position().x();
}

void TimePlot::mouseReleaseEvent(QMouseEvent *) {
    drag_x_.reset();
}

void TimePlot::mouseDoubleClickEvent(QMouseEvent *) {
    emit live_requested();
}

void TimePlot::wheelEvent(QWheelEvent *event) {
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0.0)
        return;
    emit zoom_requested(std::pow(0.8, steps), time_at(event->position().x()));
    event->accept();
}

void TimePlot::leaveEvent(QEvent *) {
    emit cursor_moved(std::nullopt);
}

namespace plot_runs {

QPolygonF clip(const QPolygonF &run, double from, double to) {
    QPolygonF out;
    const auto at = [](const QPointF &a, const QPointF &b, double x) {
        return QPointF(x, a.y() + (b.y() - a.y()) * (x - a.x()) / (b.x() - a.x()));
    };
    for (qsizetype i = 0; i < run.size(); ++i) {
        const QPointF &p = run[i];
        const bool inside = p.x() >= from && p.x() <= to;
        if (i == 0) {
            if (inside)
                out << p;
            continue;
        }
        const QPointF &q = run[i - 1];
        if (q.x() < from && p.x() >= from)
            out << at(q, p, from);
        if (inside) {
            if (out.isEmpty() || out.constLast() != p)
                out << p;
        } else if (q.x() <= to && p.x() > to) {
            out << at(q, p, to);
            break;
        }
    }
    return out;
}

QPolygonF decimate(const QPolygonF &run, double from, double to, int columns) {
    QPolygonF out;
    out.reserve(std::min<qsizetype>(run.size(), 2 * static_cast<qsizetype>(columns) + 2));
    const auto push = [&out](const QPointF &p) {
        const qsizetype n = out.size();
        if (n >= 1 && out[n - 1] == p)
            return;
        if (n >= 2 && out[n - 1].y() == p.y() && out[n - 2].y() == p.y())
            out[n - 1] = p; // the middle of a flat stretch
        else
            out << p;
    };
    const double scale = columns / std::max(1e-9, to - from);
    int column = -1;
    qsizetype lo = 0, hi = 0;
    const auto flush = [&] {
        if (column < 0)
            return;
        push(run[std::min(lo, hi)]);
        if (lo != hi)
            push(run[std::max(lo, hi)]);
    };
    // The run's ends stay exact: a line reaches the view's edge.
    if (!run.isEmpty())
        push(run.constFirst());
    for (qsizetype i = 0; i < run.size(); ++i) {
        const int c = std::clamp(static_cast<int>(std::floor((run[i].x() - from) * scale)), 0,
                                 columns - 1);
        if (c != column) {
            flush();
            column = c;
            lo = hi = i;
        } else if (run[i].y() < run[lo].y()) {
            lo = i;
        } else if (run[i].y() > run[hi].y()) {
            hi = i;
        }
    }
    flush();
    if (!run.isEmpty())
        push(run.constLast());
    return out;
}

std::pair<double, double> fit(double lo, double hi) {
    lo = std::min(lo, 0.0);
    hi = std::max(hi, 0.0);
    if (hi - lo < 1e-9)
        return {lo, lo + 1.0}; // nothing in view
    const double step = nice_step(hi - lo, 5);
    double top = std::ceil((hi + (hi - lo) * 0.05) / step) * step;
    double bottom = std::floor((lo - (lo < 0 ? (hi - lo) * 0.05 : 0.0)) / step) * step;
    return {bottom, top};
}

} // namespace plot_runs
