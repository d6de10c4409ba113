#include "power_up_window.h"

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QThreadPool>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <vector>

#include "device/session_view.h"
#include "export_file.h"
#include "device/status_decode.h"
#include "device/workbench.h"
#include "registers/register_map.h"

using namespace evalpanel;

namespace {

constexpr int kLabelWidth = 350;
constexpr int kRowHeight = 40;
constexpr int kPinLane = 20;
constexpr int kTop = 30;
constexpr int kPinCount = 3;

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

double nice_span(double ms) {
    for (double m : {1.0, 2.0, 5.0})
        for (double p = 0.1; p < 1e6; p *= 10)
            if (m * p >= ms)
                return m * p;
    return ms;
}

QString ms_text(double ms) {
    return QString::number(ms, 'f', 2);
}

QString opt_ms(const std::optional<double> &ms) {
    return ms ? ms_text(*ms) : QString();
}

const char *const kPinNames[kPinCount] = {"VIOSYS", "NRST", "NSLP"};

// Local date and time with its offset from UTC.
QString iso_time(int64_t ms) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

} // namespace

std::array<BuckStart, kBuckCount> power_up_plan(const RegisterImage &image, const FieldText &text) {
    std::array<BuckStart, kBuckCount> plan{};
    // A multiphase group starts as one converter, with its master's
    // registers.
    const int configuration = image[rx5120::reg::kMultiphase] & 0x0F;
    for (int k = 0; k < kBuckCount; ++k) {
        BuckStart &b = plan[static_cast<size_t>(k)];
        b.master = multiphase_master(configuration, k);
        const QString suffix = QStringLiteral("_B%1").arg(b.master);
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

PowerUpRow power_up_row(const BuckStart &b, const MeasuredStart &m, bool watching) {
    PowerUpRow r;
    r.target = b.target_mv ? QStringLiteral("%1 mV").arg(*b.target_mv) : QStringLiteral("?");
    if (!b.enabled) {
        r.start = QStringLiteral("disabled");
    } else if (b.never) {
        r.start = QStringLiteral("never");
    } else {
        r.start = ms_text(b.delay_ms);
        r.end = b.end_ms() ? ms_text(*b.end_ms()) : QStringLiteral("? (ramp)");
    }
    if (m.power_good_ms) {
        r.power_good = QStringLiteral("%1 (\u2212%2)").arg(ms_text(*m.power_good_ms), ms_text(m.resolution_ms));
        if (b.starts() && b.end_ms())
            r.late = ms_text(*m.power_good_ms - *b.end_ms());
    } else {
        r.power_good = watching ? QStringLiteral("\u2026") : QStringLiteral("not seen");
    }
    return r;
}

QByteArray power_up_csv(const PowerUpRecord &record, const std::array<BuckStart, kBuckCount> &plan,
                        const std::array<MeasuredStart, kBuckCount> &measured) {
    QStringList edges;
    edges << (record.nrst_high_before ? QStringLiteral("VIOSYS rise %1 (time zero; NRST high before)")
                                      : QStringLiteral("NRST rise %1 (time zero)"))
                 .arg(iso_time(record.wall_ms));
    if (record.viosys_ms)
        edges << QStringLiteral("VIOSYS rise %1 ms").arg(ms_text(*record.viosys_ms));
    if (record.nslp_ms)
        edges << QStringLiteral("NSLP rise %1 ms").arg(ms_text(*record.nslp_ms));
    edges << QStringLiteral("%1 polls over %2 ms").arg(record.polls).arg(ms_text(record.watched_ms));
    if (!record.registers_valid)
        edges << QStringLiteral("registers not read at this power-up");
    QByteArray out = "# " + edges.join(QStringLiteral("; ")).toUtf8() + '\n';
    out += "buck,enabled,target_mV,planned_start_ms,planned_end_ms,power_good_ms,resolution_ms,"
           "late_ms\n";
    for (int k = 0; k < kBuckCount; ++k) {
        const BuckStart &b = plan[static_cast<size_t>(k)];
        const MeasuredStart &m = measured[static_cast<size_t>(k)];
        const std::optional<double> late =
            m.power_good_ms && b.starts() && b.end_ms() ? std::optional<double>(*m.power_good_ms - *b.end_ms())
                                                        : std::nullopt;
        const QStringList cells{
            QString::number(k),
            b.starts() ? QStringLiteral("1") : QStringLiteral("0"),
            b.target_mv ? QString::number(*b.target_mv) : QString(),
            b.starts() ? ms_text(b.delay_ms) : QString(),
            b.starts() ? opt_ms(b.end_ms()) : QString(),
            opt_ms(m.power_good_ms),
            m.power_good_ms ? ms_text(m.resolution_ms) : QString(),
            opt_ms(late)};
        out += cells.join(QLatin1Char(',')).toUtf8() + '\n';
    }
    return out;
}

// The timeline: the pins' lanes, then one row per buck with its planned
// start drawn as a line (off until the delay, rising over the soft start,
// then held) and the measured power good as a mark.
class PowerUpTimeline : public QWidget {
  public:
    explicit PowerUpTimeline(PowerUpWindow &window) : QWidget(&window), window_(window) {
        setMouseTracking(true);
        setMinimumSize(860, kTop + kPinLane * kPinCount + 6 + kRowHeight * kBuckCount + 24);
    }

  protected:
    void paintEvent(QPaintEvent *) override;
    void mouseMoveEvent(QMouseEvent *event) override {
        const QPointF at = event->position();
        if (!area_.contains(QPointF(at.x(), area_.top())) || area_.width() <= 0) {
            window_.show_readout(QString());
            return;
        }
        const double y = at.y() - buck_top_;
        const int buck = y >= 0 && y < kRowHeight * kBuckCount ? static_cast<int>(y / kRowHeight) : -1;
        window_.show_readout(window_.readout(time_at(at.x()), buck));
    }
    void leaveEvent(QEvent *) override { window_.show_readout(QString()); }

  private:
    double x_of(double ms) const {
        if (!log_)
            return area_.left() + area_.width() * std::max(ms, 0.0) / span_;
        const double f = (std::log10(std::max(ms, kLogFloor)) - std::log10(kLogFloor)) /
                         (std::log10(span_) - std::log10(kLogFloor));
        return area_.left() + area_.width() * f;
    }
    double time_at(double x) const {
        const double f = (x - area_.left()) / area_.width();
        if (!log_)
            return f * span_;
        return std::pow(10.0, std::log10(kLogFloor) + f * (std::log10(span_) - std::log10(kLogFloor)));
    }

    static constexpr double kLogFloor = 0.1; // a log axis starts a tenth of a millisecond in
    PowerUpWindow &window_;
    QRectF area_;
    double buck_top_ = 0;
    bool log_ = false;
    double span_ = 1.0;
};

void PowerUpTimeline::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QPalette &pal = palette();
    const QFontMetrics fm(font());
    const auto &plan = window_.plan();
    const auto &measured = window_.measured();
    const auto &record = window_.record();
    buck_top_ = kTop + kPinLane * kPinCount + 6;
    area_ = QRectF(kLabelWidth, kTop, std::max(100, width() - kLabelWidth - 30),
                   buck_top_ - kTop + kRowHeight * kBuckCount);
    p.fillRect(area_, pal.color(QPalette::Base));

    // The axis covers every planned end, every measured edge and the pins
    // after time zero. Polls see edges at their pace while a ramp takes a
    // millisecond: when the two differ more than tenfold the axis is
    // logarithmic, so that both stay readable.
    double planned = 1.0, seen = 0.0;
    for (size_t k = 0; k < plan.size(); ++k) {
        if (plan[k].starts())
            planned = std::max(planned, plan[k].end_ms().value_or(plan[k].delay_ms));
        for (const std::optional<double> t :
             {measured[k].power_good_ms,
              measured[k].first_current_ms ? std::optional<double>(static_cast<double>(*measured[k].first_current_ms))
                                           : std::nullopt})
            if (t)
                seen = std::max(seen, *t);
    }
    if (record && record->nslp_ms)
        seen = std::max(seen, *record->nslp_ms);
    log_ = seen > 10 * planned;
    span_ = nice_span(std::max(planned, seen) * 1.1);
    QColor grid = pal.color(QPalette::Text);
    grid.setAlphaF(0.2f);
    const QColor ink = pal.color(QPalette::WindowText);
    p.setPen(ink);
    const bool by_supply = record && record->nrst_high_before;
    p.drawText(QPointF(area_.left(), kTop - 10),
               (by_supply ? QStringLiteral("ms after VIOSYS rises (NRST high before)")
                          : QStringLiteral("ms after NRST rises")) +
                   (log_ ? QStringLiteral(" (logarithmic)") : QString()));
    std::vector<double> ticks;
    if (log_) {
        for (double t = kLogFloor; t <= span_ * 1.0001; t *= 10)
            ticks.push_back(t);
    } else {
        for (int i = 0; i <= 10; ++i)
            ticks.push_back(span_ * i / 10);
    }
    for (double ms : ticks) {
        const double x = x_of(ms);
        p.setPen(grid);
        p.drawLine(QPointF(x, area_.top()), QPointF(x, area_.bottom()));
        p.setPen(ink);
        const QString label = QString::number(ms, 'g', 6);
        p.drawText(QPointF(x - fm.horizontalAdvance(label) / 2.0, area_.bottom() + fm.height()), label);
    }

    // The pins: low, then high from their rise; a rise before time zero
    // (VIOSYS, typically seconds before) is named at the axis' start.
    const std::optional<double> rises[kPinCount] = {
        record ? record->viosys_ms : std::nullopt,
        record ? std::optional<double>(record->nrst_high_before ? -1.0 : 0.0) : std::nullopt,
        record ? record->nslp_ms : std::nullopt};
    for (int i = 0; i < kPinCount; ++i) {
        const double top = kTop + i * kPinLane + 4, bottom = top + kPinLane - 8;
        p.setPen(ink);
        p.drawText(QPointF(8, bottom), QString::fromLatin1(kPinNames[i]));
        if (!rises[i])
            continue;
        QPen pen(ink);
        pen.setWidthF(1.5);
        p.setPen(pen);
        const double x = *rises[i] <= 0 ? area_.left() : x_of(*rises[i]);
        QPainterPath path;
        path.moveTo(area_.left(), *rises[i] < 0 ? top : bottom);
        if (*rises[i] >= 0) {
            path.lineTo(x, bottom);
            path.lineTo(x, top);
        }
        if (i == 1 && record->nrst_fell_ms) {
            const double fall = x_of(*record->nrst_fell_ms);
            path.lineTo(fall, top);
            path.lineTo(fall, bottom);
            path.lineTo(area_.right(), bottom);
        } else {
            path.lineTo(area_.right(), top);
        }
        p.drawPath(path);
        if (by_supply && i == 1)
            p.drawText(QPointF(area_.left() + 4, bottom), QStringLiteral("high before VIOSYS rose"));
        else if (*rises[i] < 0)
            p.drawText(QPointF(area_.left() + 4, bottom),
                       QStringLiteral("\u2191 %1 ms").arg(ms_text(*rises[i])));
    }

    for (int k = 0; k < kBuckCount; ++k) {
        const BuckStart &b = plan[static_cast<size_t>(k)];
        const double top = buck_top_ + k * kRowHeight + 6;
        const double bottom = top + kRowHeight - 14;
        const QString volts = b.target_mv ? QStringLiteral("%1 mV").arg(*b.target_mv) : QStringLiteral("? mV");
        QString detail;
        if (b.master != k)
            detail = QStringLiteral("phase of Buck%1: ").arg(b.master);
        if (!b.enabled)
            detail += QStringLiteral("disabled");
        else if (b.never)
            detail += QStringLiteral("delay never: does not start");
        else
            detail += QStringLiteral("delay %1 ms, %2 \u2192 %3")
                         .arg(b.delay_ms, 0, 'g', 4)
                         .arg(b.ramp_mv_per_us ? QStringLiteral("%1 mV/us").arg(*b.ramp_mv_per_us)
                                               : QStringLiteral("ramp ?"))
                         .arg(b.soft_start_ms ? QStringLiteral("%1 ms").arg(*b.soft_start_ms, 0, 'f', 3)
                                              : QStringLiteral("?"));
        p.setPen(ink);
        p.drawText(QPointF(8, top + fm.ascent()), QStringLiteral("Buck%1  %2").arg(k).arg(volts));
        p.drawText(QPointF(8, top + fm.ascent() + fm.height()), detail);
        p.setPen(grid);
        p.drawLine(QPointF(area_.left(), top - 6), QPointF(area_.right(), top - 6));
        if (b.starts()) {
            const double x0 = x_of(b.delay_ms);
            const double x1 = x_of(b.end_ms().value_or(b.delay_ms));
            QPainterPath path;
            path.moveTo(area_.left(), bottom);
            path.lineTo(x0, bottom);
            path.lineTo(x1, top);
            path.lineTo(area_.right(), top);
            QPen pen(kColours[k]);
            pen.setWidthF(2.0);
            p.setPen(pen);
            p.drawPath(path);
        }
        const MeasuredStart &m = measured[static_cast<size_t>(k)];
        p.setPen(ink);
        p.setBrush(ink);
        if (m.power_good_ms) {
            // The edge lies between the poll before and this one.
            const double x = x_of(*m.power_good_ms);
            const double from = x_of(*m.power_good_ms - m.resolution_ms);
            p.drawLine(QPointF(from, top - 2), QPointF(x, top - 2));
            p.drawPolygon(QPolygonF({QPointF(x - 6, top - 4), QPointF(x + 6, top - 4), QPointF(x, top + 6)}));
        }
        if (m.first_current_ms)
            p.drawEllipse(QPointF(x_of(static_cast<double>(*m.first_current_ms)), bottom - 4), 5, 5);
        p.setBrush(Qt::NoBrush);
    }
}

PowerUpWindow::PowerUpWindow(SessionView &view, Workbench &workbench, FieldText text,
                             QWidget *parent)
    : QWidget(parent, Qt::Window), view_(view), text_(std::move(text)) {
    setWindowTitle(QStringLiteral("Power-Up Sequence"));
    auto *layout = new QVBoxLayout(this);
    timeline_ = new PowerUpTimeline(*this);
    layout->addWidget(timeline_, 1);
    readout_ = new QLabel(this);
    layout->addWidget(readout_);
    table_ = new QTableWidget(kBuckCount, 5, this);
    table_->setHorizontalHeaderLabels({QStringLiteral("Target"), QStringLiteral("Planned start (ms)"),
                                       QStringLiteral("Planned end (ms)"),
                                       QStringLiteral("Power good (ms)"), QStringLiteral("Late by (ms)")});
    QStringList bucks;
    for (int k = 0; k < kBuckCount; ++k)
        bucks << QStringLiteral("Buck%1").arg(k);
    table_->setVerticalHeaderLabels(bucks);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setFocusPolicy(Qt::NoFocus);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 10);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table_->setToolTip(QStringLiteral("Power good: the poll that first saw the buck regulate, and "
                                      "(\u2212) how long before it the poll before ran: the edge lies "
                                      "within. Late by: power good after the planned end."));
    table_->setFixedHeight(table_->horizontalHeader()->sizeHint().height() +
                           kBuckCount * table_->verticalHeader()->defaultSectionSize() +
                           2 * table_->frameWidth() + 2);
    layout->addWidget(table_);
    auto *row = new QHBoxLayout;
    note_ = new QLabel(this);
    note_->setWordWrap(true);
    row->addWidget(note_, 1);
    auto *png = new QPushButton(QStringLiteral("Export PNG\u2026"), this);
    auto *csv = new QPushButton(QStringLiteral("Export CSV\u2026"), this);
    row->addWidget(png);
    row->addWidget(csv);
    layout->addLayout(row);
    connect(png, &QPushButton::clicked, this, &PowerUpWindow::export_png);
    connect(csv, &QPushButton::clicked, this, &PowerUpWindow::export_csv);
    connect(&workbench, &Workbench::sampled, this, &PowerUpWindow::add);
    connect(&view_, &SessionView::power_up_measured, this, &PowerUpWindow::take);
    for (auto signal : {&SessionView::registers_changed, &SessionView::cache_changed})
        connect(&view_, signal, this, &PowerUpWindow::refresh);
    if (view_.power_up())
        take(*view_.power_up());
    show_readout(QString());
    refresh();
}

void PowerUpWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    refresh();
}

void PowerUpWindow::take(const PowerUpRecord &record) {
    const bool fresh = !record_ || record_->wall_ms != record.wall_ms;
    record_ = record;
    for (int k = 0; k < kBuckCount; ++k) {
        MeasuredStart &m = measured_[static_cast<size_t>(k)];
        if (fresh)
            m = {};
        m.power_good_ms = record.power_good_ms[static_cast<size_t>(k)];
        m.resolution_ms = record.resolution_ms[static_cast<size_t>(k)];
    }
    refresh();
}

void PowerUpWindow::refresh() {
    // The plan of a timed power-up is the registers the chip ran it with;
    // before any, the chip's values now (not changes kept for "Write
    // Registers").
    const SessionSnapshot &s = view_.snapshot();
    const bool valid = record_ ? record_->registers_valid : s.registers_valid;
    plan_ = power_up_plan(record_ ? record_->registers : s.chip, text_);
    QString note;
    if (!valid)
        note = QStringLiteral("The registers were not read from the chip: the plan shows nothing true. ");
    if (!record_) {
        note += QStringLiteral("No power-up timed yet: the plan is from the registers now. Tick "
                               "\"Assert VIOSYS\", then \"Assert NRST\" to launch the sequence; the "
                               "polls then time each buck's power good for %1 s.")
                    .arg(PowerUpRecord::kBurstMs / 1000);
    } else {
        note += QStringLiteral("Power-up of %1, plan from the registers at that moment. ")
                    .arg(QDateTime::fromMSecsSinceEpoch(record_->wall_ms)
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        if (!record_->done)
            note += QStringLiteral("Polling as fast as the adapter answers\u2026");
        else if (!record_->end_reason.isEmpty())
            note += QStringLiteral("Watching stopped after %1 ms: %2.")
                        .arg(ms_text(record_->watched_ms), record_->end_reason);
        else
            note += QStringLiteral("%1 polls over %2 ms, one every %3 \u00b5s on average.")
                        .arg(record_->polls)
                        .arg(ms_text(record_->watched_ms))
                        .arg(record_->polls > 0 ? 1000.0 * record_->watched_ms / record_->polls : 0.0, 0, 'f', 1);
    }
    note_->setText(note);
    fill_table();
    timeline_->update();
}

void PowerUpWindow::fill_table() {
    const bool watching = record_ && !record_->done;
    for (int k = 0; k < kBuckCount; ++k) {
        PowerUpRow r = power_up_row(plan_[static_cast<size_t>(k)], measured_[static_cast<size_t>(k)],
                                    watching || !record_);
        const int master = plan_[static_cast<size_t>(k)].master;
        if (master != k)
            r.target += QStringLiteral(", phase of Buck%1").arg(master);
        const QString cells[] = {r.target, r.start, r.end, record_ ? r.power_good : QString(), r.late};
        for (int c = 0; c < 5; ++c) {
            QTableWidgetItem *item = table_->item(k, c);
            if (item == nullptr) {
                item = new QTableWidgetItem;
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                table_->setItem(k, c, item);
            }
            item->setText(cells[c]);
        }
    }
}

QString PowerUpWindow::readout(double ms, int buck) const {
    QString text = QStringLiteral("%1 ms after %2")
                       .arg(ms_text(ms), record_ && record_->nrst_high_before ? QStringLiteral("VIOSYS")
                                                                               : QStringLiteral("NRST"));
    if (buck < 0 || buck >= kBuckCount)
        return text;
    const PowerUpRow r = power_up_row(plan_[static_cast<size_t>(buck)], measured_[static_cast<size_t>(buck)],
                                      !record_ || !record_->done);
    text += QStringLiteral(" \u00b7 Buck%1 %2: ").arg(buck).arg(r.target);
    if (r.end.isEmpty())
        text += QStringLiteral("planned %1").arg(r.start);
    else
        text += QStringLiteral("planned %1 \u2192 %2 ms").arg(r.start, r.end);
    if (record_)
        text += QStringLiteral(", power good %1").arg(r.power_good);
    if (!r.late.isEmpty())
        text += QStringLiteral(", late by %1 ms").arg(r.late);
    return text;
}

void PowerUpWindow::show_readout(const QString &text) {
    readout_->setText(text.isEmpty() ? QStringLiteral("Point at the timeline to read a buck's times.")
                                     : text);
}

void PowerUpWindow::add(const TelemetrySample &s) {
    if (!record_ || s.supply != 1 || !s.ready() || s.time_ms < record_->wall_ms)
        return;
    for (int k = 0; k < kBuckCount; ++k) {
        MeasuredStart &m = measured_[static_cast<size_t>(k)];
        if (!m.first_current_ms && current_field_for_source(s.current_source) == k && s.current_ma > 0) {
            m.first_current_ms = s.time_ms - record_->wall_ms;
            timeline_->update();
        }
    }
}

void PowerUpWindow::export_png() {
    const QString path = with_suffix(QFileDialog::getSaveFileName(this, QStringLiteral("Export Power-Up"),
                                                                  default_export_name("power-up", "png"), QStringLiteral("PNG (*.png)")),
                                     "png");
    if (path.isEmpty())
        return;
    const QImage image = grab().toImage();
    write_later(
        this, path,
        [image] {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            return bytes;
        },
        [this, path](const QString &error) {
            show_readout(error.isEmpty() ? QStringLiteral("saved %1").arg(path) : error);
        });
}

void PowerUpWindow::export_csv() {
    if (!record_) {
        show_readout(QStringLiteral("Nothing to export: no power-up timed yet."));
        return;
    }
    const QString path = with_suffix(QFileDialog::getSaveFileName(this, QStringLiteral("Export Power-Up"),
                                                                  default_export_name("power-up", "csv"), QStringLiteral("CSV (*.csv)")),
                                     "csv");
    if (path.isEmpty())
        return;
    const QByteArray bytes = power_up_csv(*record_, plan_, measured_);
    write_later(this, path, [bytes] { return bytes; },
                [this, path](const QString &error) {
                    show_readout(error.isEmpty() ? QStringLiteral("saved %1").arg(path) : error);
                });
}
