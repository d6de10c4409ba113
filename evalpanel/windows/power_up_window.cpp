#include "power_up_window.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <vector>

#include "device/session_view.h"
#include "device/status_decode.h"
#include "device/workbench.h"
#include "registers/register_map.h"

using namespace evalpanel;

namespace {

constexpr int kLabelWidth = 330;
constexpr int kRowHeight = 46;
constexpr int kTop = 34;

const QColor kColours[] = {{31, 119, 180}, {255, 127, 14}, {44, 160, 44},
                           {214, 39, 40},  {148, 103, 189}, {160, 110, 90}};

// The number an item text starts with ("1.5 ms" -> 1.5), if any.
std::optional<double> leading_number(const QString &text) {
    bool ok = false;
    const double v = text.section(QLatin1Char(' '), 0, 0).toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

std::optional<double> field_number(const RegisterImage &image, const FieldText &text,
                                   const QString &name) {
    const FieldInfo *f = register_map().field_named(name);
    if (f == nullptr || !text)
        return std::nullopt;
    return leading_number(text(*f, f->value_in(image)));
}

bool regulating(const QString &mode) {
    return mode == QLatin1String("PWM") || mode == QLatin1String("PFM") ||
           mode == QLatin1String("ECO");
}

double nice_span(double ms) {
    for (double m : {1.0, 2.0, 5.0})
        for (double p = 0.1; p < 1e6; p *= 10)
            if (m * p >= ms)
                return m * p;
    return ms;
}

} // namespace

std::array<BuckStart, kBuckCount> power_up_plan(const RegisterImage &image, const FieldText &text) {
    std::array<BuckStart, kBuckCount> plan{};
    for (int k = 0; k < kBuckCount; ++k) {
        BuckStart &b = plan[static_cast<size_t>(k)];
        const QString suffix = QStringLiteral("_B%1").arg(k);
        const FieldInfo *enable = register_map().field_named(QStringLiteral("EN_DIS") + suffix);
        b.enabled = enable != nullptr && enable->value_in(image) != 0;
        const std::optional<double> delay = field_number(image, text, QStringLiteral("DELAY") + suffix);
        b.never = !delay.has_value();
        b.delay_ms = delay.value_or(0.0);
        b.ramp_mv_per_us = field_number(image, text, QStringLiteral("RAMP") + suffix);
        if (const auto mv = field_number(image, text, QStringLiteral("VSET") + suffix))
            b.target_mv = static_cast<int>(std::lround(*mv));
        if (b.ramp_mv_per_us && b.target_mv && *b.ramp_mv_per_us > 0)
            b.soft_start_ms = *b.target_mv / *b.ramp_mv_per_us / 1000.0;
    }
    return plan;
}

PowerUpWindow::PowerUpWindow(SessionView &view, Workbench &workbench, FieldText text,
                             QWidget *parent)
    : QWidget(parent, Qt::Window), view_(view), text_(std::move(text)) {
    setWindowTitle(QStringLiteral("Power-Up Sequence"));
    auto *layout = new QVBoxLayout(this);
    layout->addStretch(1);
    note_ = new QLabel(this);
    note_->setWordWrap(true);
    layout->addWidget(note_);
    connect(&workbench, &Workbench::sampled, this, &PowerUpWindow::add);
    for (auto signal : {&SessionView::registers_changed, &SessionView::cache_changed})
        connect(&view_, signal, this, &PowerUpWindow::refresh);
    setMinimumSize(820, kTop + kRowHeight * kBuckCount + 110);
    refresh();
}

void PowerUpWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    refresh();
}

void PowerUpWindow::refresh() {
    // The chip's values, not changes kept for "Write Registers".
    const SessionSnapshot &s = view_.snapshot();
    plan_ = power_up_plan(s.chip, text_);
    note_->setText(
        (s.registers_valid ? QString() : QStringLiteral("The registers were not read from the chip: "
                                                        "the timeline shows nothing true. ")) +
        (rise_seen() ? QStringLiteral("Marks: what the polls saw after VIOSYS rose (\u25bc power "
                                      "good, \u25cf first current), at the polls' pace of 150 ms.")
                     : QStringLiteral("Switch VIOSYS on with \"Poll Status\" ticked to see the "
                                      "measured edges over the timeline; \"All\" as the telemetry's "
                                      "current source measures every buck's current.")));
    update();
}

void PowerUpWindow::add(const TelemetrySample &s) {
    if (s.supply_rose) {
        rise_ms_ = s.time_ms;
        measured_ = {};
        refresh();
    }
    if (rise_ms_ < 0 || s.supply != 1 || !s.ready())
        return;
    bool changed = false;
    for (int k = 0; k < kBuckCount; ++k) {
        MeasuredStart &m = measured_[static_cast<size_t>(k)];
        if (!m.power_good_ms && regulating(s.modes[static_cast<size_t>(k)])) {
            m.power_good_ms = s.time_ms - rise_ms_;
            changed = true;
        }
        if (!m.first_current_ms && current_field_for_source(s.current_source) == k &&
            s.current_ma > 0) {
            m.first_current_ms = s.time_ms - rise_ms_;
            changed = true;
        }
    }
    if (changed)
        update();
}

void PowerUpWindow::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QPalette &pal = palette();
    const QFontMetrics fm(font());
    const QRectF area(kLabelWidth, kTop, std::max(100, width() - kLabelWidth - 30),
                      kRowHeight * kBuckCount);
    p.fillRect(area, pal.color(QPalette::Base));

    // The time axis covers every planned end and every measured edge. The
    // polls see edges at their pace (150 ms) while a start takes
    // milliseconds: when the two differ by more than tenfold, the axis is
    // logarithmic, so that both stay readable.
    double planned = 1.0, seen = 0.0;
    for (size_t k = 0; k < plan_.size(); ++k) {
        const BuckStart &b = plan_[k];
        if (b.enabled && !b.never)
            planned = std::max(planned, b.delay_ms + b.soft_start_ms.value_or(0.0));
        for (const auto &t : {measured_[k].power_good_ms, measured_[k].first_current_ms})
            if (t)
                seen = std::max(seen, static_cast<double>(*t));
    }
    const bool log = seen > 10 * planned;
    const double span = nice_span(std::max(planned, seen) * 1.1);
    const double lo = 0.1; // the log axis starts a tenth of a millisecond in
    const auto x_of = [&](double ms) {
        if (!log)
            return area.left() + area.width() * ms / span;
        const double f = (std::log10(std::max(ms, lo)) - std::log10(lo)) / (std::log10(span) - std::log10(lo));
        return area.left() + area.width() * f;
    };
    QColor grid = pal.color(QPalette::Text);
    grid.setAlphaF(0.2f);
    p.setPen(pal.color(QPalette::WindowText));
    p.drawText(QPointF(area.left(), kTop - 10),
               log ? QStringLiteral("ms after VIOSYS rises (logarithmic)") : QStringLiteral("ms after VIOSYS rises"));
    std::vector<double> ticks;
    if (log) {
        for (double t = lo; t <= span * 1.0001; t *= 10)
            ticks.push_back(t);
    } else {
        for (int i = 0; i <= 10; ++i)
            ticks.push_back(span * i / 10);
    }
    for (double ms : ticks) {
        const double x = x_of(ms);
        p.setPen(grid);
        p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
        p.setPen(pal.color(QPalette::WindowText));
        const QString label = QString::number(ms, 'g', 6);
        p.drawText(QPointF(x - fm.horizontalAdvance(label) / 2.0, area.bottom() + fm.height()), label);
    }

    for (int k = 0; k < kBuckCount; ++k) {
        const BuckStart &b = plan_[static_cast<size_t>(k)];
        const double top = area.top() + k * kRowHeight + 8;
        const double bottom = top + kRowHeight - 16;
        const QString volts = b.target_mv ? QStringLiteral("%1 mV").arg(*b.target_mv) : QStringLiteral("? mV");
        QString detail;
        if (!b.enabled)
            detail = QStringLiteral("disabled");
        else if (b.never)
            detail = QStringLiteral("delay never: does not start");
        else
            detail = QStringLiteral("delay %1 ms, %2 \u2192 %3")
                         .arg(b.delay_ms, 0, 'g', 4)
                         .arg(b.ramp_mv_per_us ? QStringLiteral("%1 mV/us").arg(*b.ramp_mv_per_us)
                                               : QStringLiteral("ramp ?"))
                         .arg(b.soft_start_ms ? QStringLiteral("%1 ms").arg(*b.soft_start_ms, 0, 'f', 3)
                                              : QStringLiteral("?"));
        p.setPen(pal.color(QPalette::WindowText));
        p.drawText(QPointF(8, top + fm.ascent()), QStringLiteral("Buck%1  %2").arg(k).arg(volts));
        p.drawText(QPointF(8, top + fm.ascent() + fm.height()), detail);
        p.setPen(grid);
        p.drawLine(QPointF(area.left(), bottom + 8), QPointF(area.right(), bottom + 8));
        if (b.enabled && !b.never) {
            // Off until the delay, rising over the soft start, then held.
            const double x0 = x_of(b.delay_ms);
            const double x1 = x_of(b.delay_ms + b.soft_start_ms.value_or(0.0));
            QPainterPath path;
            path.moveTo(area.left(), bottom);
            path.lineTo(x0, bottom);
            path.lineTo(x1, top);
            path.lineTo(area.right(), top);
            QPen pen(kColours[k]);
            pen.setWidthF(2.0);
            p.setPen(pen);
            p.drawPath(path);
        }
        // The measured edges.
        const MeasuredStart &m = measured_[static_cast<size_t>(k)];
        p.setPen(pal.color(QPalette::WindowText));
        p.setBrush(pal.color(QPalette::WindowText));
        // The polls' edges: 0 ms means the first poll after the rise.
        if (m.power_good_ms) {
            const double x = x_of(static_cast<double>(*m.power_good_ms));
            const QPolygonF triangle({QPointF(x - 6, top - 4), QPointF(x + 6, top - 4), QPointF(x, top + 6)});
            p.drawPolygon(triangle);
        }
        if (m.first_current_ms)
            p.drawEllipse(QPointF(x_of(static_cast<double>(*m.first_current_ms)), bottom - 4), 5, 5);
        p.setBrush(Qt::NoBrush);
    }
}
