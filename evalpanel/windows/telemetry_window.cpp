#include "telemetry_window.h"

#include <QBuffer>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QCoreApplication>
#include <QPainter>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "chip/rx5120.h"
#include "device/operations.h"
#include "device/session_view.h"
#include "device/status_decode.h"
#include "device/workbench.h"
#include "export_file.h"
#include "time_plot.h"

using namespace evalpanel;

namespace {

// Height of a raised flag's trace above its row.
constexpr double kRaised = 0.55;
// Faults list: the time of a line, for dropping old lines.
constexpr int kTimeRole = Qt::UserRole + 1;

// Medium tones that read on a light and on a dark background.
const QColor kColours[] = {{31, 119, 180}, {255, 127, 14}, {44, 160, 44},  {214, 39, 40},
                           {148, 103, 189}, {160, 110, 90}, {127, 127, 127}};

using Reading = TimePlot::Reading;

const QString kReadoutHint = QStringLiteral("Point at a plot to read\nevery series at one time.");

Reading value(double y) {
    return {Reading::Value, y};
}
Reading gap() {
    return {Reading::Break, 0.0};
}

QString clock_text(int64_t ms, const char *format) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QLatin1String(format));
}

} // namespace

// The cursor's read-out: a swatch, the name and the value with its unit per
// series, drawn directly (a rich-text label would cost a layout per move),
// at a fixed size so that a cursor move never lays the window out again.
class ReadoutView : public QWidget {
  public:
    struct Row {
        QColor colour;
        QString name, value;
    };
    explicit ReadoutView(QWidget *parent) : QWidget(parent) {
        const QFontMetrics fm(font());
        setFixedSize(std::max(240, fm.horizontalAdvance(QStringLiteral("I_LOAD_READY  2050.0 \u00b0C")) + 40),
                     fm.lineSpacing() * 25 + 6);
    }
    void show_rows(const QString &title, std::vector<Row> rows) {
        title_ = title;
        rows_ = std::move(rows);
        hint_.clear();
        update();
    }
    void show_hint(const QString &hint) {
        title_.clear();
        rows_.clear();
        hint_ = hint;
        update();
    }

  protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const QFontMetrics fm(font());
        const int line = fm.lineSpacing();
        double y = fm.ascent() + 2;
        p.setPen(palette().color(QPalette::WindowText));
        if (!hint_.isEmpty()) {
            for (const QString &text : hint_.split(QLatin1Char('\n')))
                p.drawText(QPointF(2, y), text), y += line;
            return;
        }
        QFont bold = font();
        bold.setBold(true);
        p.setFont(bold);
        p.drawText(QPointF(2, y), title_);
        p.setFont(font());
        y += line;
        for (const Row &r : rows_) {
            p.fillRect(QRectF(2, y - fm.ascent() + 2, 9, 9), r.colour);
            p.drawText(QPointF(16, y), r.name);
            p.drawText(QPointF(width() - 4 - fm.horizontalAdvance(r.value), y), r.value);
            y += line;
        }
    }

  private:
    QString title_, hint_;
    std::vector<Row> rows_;
};

TelemetryWindow::TelemetryWindow(SessionView &view, Workbench &workbench, QWidget *parent)
    : QWidget(parent, Qt::Window), view_(view) {
    setWindowTitle(QStringLiteral("Telemetry"));
    clock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    auto *layout = new QHBoxLayout(this);
    auto *left = new QVBoxLayout;
    stale_ = new QLabel(this);
    stale_->setObjectName(QStringLiteral("stale"));
    // Room for the banner is kept: the plots do not move when it shows.
    stale_->setFixedHeight(stale_->fontMetrics().height() + 8);
    left->addWidget(stale_);
    auto *splitter = new QSplitter(Qt::Vertical, this);
    plot_area_ = splitter;

    auto *current = new TimePlot(history_, QStringLiteral("Load current"), QStringLiteral("mA"),
                                 QString(), splitter);
    for (int k = 0; k <= kBuckCount; ++k) {
        TimePlot::Series s;
        s.name = k < kBuckCount ? QStringLiteral("Buck%1").arg(k) : QStringLiteral("Total");
        s.colour = kColours[k];
        // Measured in turn with the other sources: one round is every
        // source once.
        s.max_skips = kBuckCount + 1;
        s.read = [k](const TelemetrySample &x) -> Reading {
            if (!x.ready())
                return gap();
            if (current_field_for_source(x.current_source) == k && x.current_ma >= 0)
                return value(x.current_ma);
            return {Reading::Skip, 0.0};
        };
        current->add_series(std::move(s));
    }
    auto *supply = new TimePlot(history_, QStringLiteral("Buck5 output and board temperature"),
                                QStringLiteral("V"), QStringLiteral("\u00b0C"), splitter);
    supply->add_series({QStringLiteral("Buck5 (V)"), kColours[0], false, false, 0,
                        [](const TelemetrySample &x) { return x.ready() ? value(x.buck5_volts) : gap(); }});
    supply->add_series({QStringLiteral("Board (\u00b0C)"), kColours[1], true, false, 0,
                        [](const TelemetrySample &x) {
                            return x.board_valid ? value(x.board_celsius) : gap();
                        }});
    auto *flags = new TimePlot(history_, QStringLiteral("Flags, interrupt line and die temperature level"),
                               QString(), QStringLiteral("die level"), splitter);
    flags->set_rows(true, 3.0);
    const auto &bits = flag_bits();
    for (size_t i = 0; i < bits.size(); ++i) {
        const SignalBit bit = bits[i];
        const double row = static_cast<double>(i);
        flags->add_series({bit.name, QColor(214, 39, 40), false, true, 0,
                           [bit, row](const TelemetrySample &x) {
                               const int level = x.bit(bit);
                               // The interrupt line is read even while the chip is silent.
                               if (level < 0 || (bit.reg != 0 && !x.ready()))
                                   return gap();
                               return value(row + (level == 1 ? kRaised : 0.0));
                           }});
    }
    flags->add_series({QStringLiteral("Die level"), kColours[0], true, true, 0,
                       [](const TelemetrySample &x) {
                           return x.ready() && x.die_level >= 0 ? value(x.die_level) : gap();
                       }});
    flags->set_right_range(0, 3);
    flags->setMinimumHeight(300);
    plots_ = {current, supply, flags};
    for (TimePlot *p : plots_) {
        p->set_pause_notes([this](int64_t from, int64_t to) { return pause_between(from, to); });
        splitter->addWidget(p);
        connect(p, &TimePlot::cursor_moved, this, &TelemetryWindow::set_cursor);
        connect(p, &TimePlot::zoom_requested, this, &TelemetryWindow::zoom);
        connect(p, &TimePlot::pan_requested, this, &TelemetryWindow::pan);
        connect(p, &TimePlot::live_requested, this, &TelemetryWindow::follow);
    }
    splitter->setSizes({220, 200, 340});
    left->addWidget(splitter, 1);
    layout->addLayout(left, 1);

    auto *side = new QVBoxLayout;
    auto *row = new QHBoxLayout;
    pause_ = new QPushButton(QStringLiteral("Pause"), this);
    pause_->setCheckable(true);
    pause_->setToolTip(QStringLiteral("Freeze the view; \"Resume\" follows the polls again. "
                                      "The wheel zooms, a drag pans, a double-click follows."));
    connect(pause_, &QPushButton::toggled, this, &TelemetryWindow::set_paused);
    row->addWidget(pause_);
    auto *png = new QPushButton(QStringLiteral("PNG\u2026"), this);
    png->setToolTip(QStringLiteral("Save the plots of the range in view as a picture"));
    connect(png, &QPushButton::clicked, this, &TelemetryWindow::export_png);
    row->addWidget(png);
    auto *csv = new QPushButton(QStringLiteral("CSV\u2026"), this);
    csv->setToolTip(QStringLiteral("Save the polls of the range in view as CSV"));
    connect(csv, &QPushButton::clicked, this, &TelemetryWindow::export_csv);
    row->addWidget(csv);
    side->addLayout(row);

    auto *source_row = new QHBoxLayout;
    source_row->addWidget(new QLabel(QStringLiteral("Current source:"), this));
    source_ = new QComboBox(this);
    source_->addItems({QStringLiteral("As selected"), QStringLiteral("All")});
    source_->setToolTip(QStringLiteral("All: every poll measures the next buck, then the total, "
                                       "so that every current is plotted"));
    connect(source_, &QComboBox::activated, this, [this](int index) {
        const bool all = index == 1;
        view_.post([all](DeviceSession &s) { set_current_cycling(s, all); });
    });
    source_row->addWidget(source_, 1);
    side->addLayout(source_row);

    readout_ = new ReadoutView(this);
    readout_->setObjectName(QStringLiteral("readout"));
    readout_->show_hint(kReadoutHint);
    side->addWidget(readout_);

    auto *faults_row = new QHBoxLayout;
    faults_row->addWidget(new QLabel(QStringLiteral("Faults"), this), 1);
    auto *clear = new QPushButton(QStringLiteral("Clear"), this);
    auto *save = new QPushButton(QStringLiteral("Save\u2026"), this);
    faults_row->addWidget(clear);
    faults_row->addWidget(save);
    side->addLayout(faults_row);
    faults_ = new QListWidget(this);
    faults_->setObjectName(QStringLiteral("faults"));
    // Equal line heights: adding a line lays out that line only.
    faults_->setUniformItemSizes(true);
    connect(clear, &QPushButton::clicked, faults_, &QListWidget::clear);
    connect(save, &QPushButton::clicked, this, &TelemetryWindow::save_faults);
    side->addWidget(faults_, 1);
    side->addWidget(new QLabel(QStringLiteral("The chip latches its flags: a fault\n"
                                              "between two polls still shows."),
                               this));
    note_ = new QLabel(this);
    note_->setWordWrap(true);
    side->addWidget(note_);
    layout->addLayout(side);

    stale_timer_ = new QTimer(this);
    connect(stale_timer_, &QTimer::timeout, this, &TelemetryWindow::check_stale);
    stale_timer_->start(500);

    // Created with the program, before the first poll: every sample and
    // fault arrives through these signals.
    connect(&workbench, &Workbench::sampled, this, &TelemetryWindow::add);
    connect(&workbench, &Workbench::fault_edge, this, &TelemetryWindow::add_fault);
    connect(&view_, &SessionView::polling_changed, this, [this] {
        source_->setCurrentIndex(view_.snapshot().cycling_currents ? 1 : 0);
    });
    resize(1200, 780);
    apply_range();
}

TelemetryWindow::~TelemetryWindow() {
    // The plots read the samples: they go before the samples do.
    delete plot_area_;
    plots_.clear();
}

void TelemetryWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    source_->setCurrentIndex(view_.snapshot().cycling_currents ? 1 : 0);
    if (live_ && !history_.empty())
        end_ms_ = history_.back().time_ms;
    apply_range();
    check_stale();
}

void TelemetryWindow::add(const TelemetrySample &s) {
    history_.push_back(s);
    // Both ends of a deque move in constant time: a sample costs the same
    // whatever the history holds.
    while (history_.size() > Workbench::kMaxSamples ||
           s.time_ms - history_.front().time_ms > Workbench::kHistoryMs)
        history_.pop_front();
    set_banner(QString());
    // A hidden or paused window draws nothing; showing or resuming it
    // draws the samples kept meanwhile.
    if (!live_ || !isVisible())
        return;
    end_ms_ = s.time_ms;
    if (drawn_ms_ < 0 || s.time_ms - drawn_ms_ >= kRedrawMs || s.time_ms < drawn_ms_) {
        drawn_ms_ = s.time_ms;
        apply_range();
    }
}

void TelemetryWindow::apply_range() {
    for (TimePlot *p : plots_)
        p->set_range(from_ms(), to_ms());
}

void TelemetryWindow::set_range(int64_t from_ms, int64_t to_ms) {
    // From a second to the whole history.
    span_ms_ = std::clamp<int64_t>(to_ms - from_ms, 1000, Workbench::kHistoryMs);
    end_ms_ = to_ms;
    if (live_)
        set_paused(true);
    apply_range();
}

void TelemetryWindow::zoom(double factor, int64_t anchor_ms) {
    const auto span = static_cast<double>(span_ms_) * factor;
    const double right = static_cast<double>(end_ms_ - anchor_ms) / static_cast<double>(span_ms_);
    const auto to = anchor_ms + static_cast<int64_t>(span * right);
    set_range(to - static_cast<int64_t>(span), to);
}

void TelemetryWindow::pan(int64_t delta_ms) {
    set_range(from_ms() + delta_ms, to_ms() + delta_ms);
}

void TelemetryWindow::follow() {
    set_paused(false);
}

void TelemetryWindow::set_paused(bool paused) {
    live_ = !paused;
    pause_->blockSignals(true);
    pause_->setChecked(paused);
    pause_->blockSignals(false);
    pause_->setText(paused ? QStringLiteral("Live") : QStringLiteral("Pause"));
    if (live_) {
        if (!history_.empty())
            end_ms_ = history_.back().time_ms;
        drawn_ms_ = end_ms_;
        apply_range();
    }
}

void TelemetryWindow::set_cursor(std::optional<int64_t> ms) {
    for (TimePlot *p : plots_)
        p->set_cursor(ms);
    if (!ms) {
        // The pointer left: no value stays shown as if it were current.
        readout_lines_.clear();
        readout_->show_hint(kReadoutHint);
        return;
    }
    QStringList lines{clock_text(*ms, "hh:mm:ss.zzz")};
    std::vector<ReadoutView::Row> rows;
    for (TimePlot *p : plots_) {
        for (int i = 0; i < static_cast<int>(p->series().size()); ++i) {
            const std::optional<double> v = p->value_at(i, *ms);
            const TimePlot::Series &series = p->series()[static_cast<size_t>(i)];
            const bool flag = p == plots_.back() && !series.right_axis;
            QString text = QStringLiteral("\u2013");
            if (v) {
                // Flags read as their level, not their row.
                const double level = *v - std::floor(*v);
                text = flag ? (level > 0.0 ? QStringLiteral("1") : QStringLiteral("0"))
                            : QString::number(*v, 'g', 4);
                // The die level is a level: it has no unit.
                const QString unit = p->unit_of(i);
                if (!unit.isEmpty() && unit != QLatin1String("die level"))
                    text += QLatin1Char(' ') + unit;
            }
            lines << QStringLiteral("%1  %2").arg(series.name, -12).arg(text);
            rows.push_back({series.colour, series.name, text});
        }
    }
    readout_lines_ = lines.join(QLatin1Char('\n'));
    readout_->show_rows(clock_text(*ms, "yyyy-MM-dd hh:mm:ss.zzz"), std::move(rows));
}

void TelemetryWindow::check_stale() {
    // Polls come every 150 ms; a longer silence means they stopped.
    const int64_t now = clock_();
    QString text;
    if (history_.empty()) {
        text = QStringLiteral("no polls yet");
    } else if (now - history_.back().time_ms > kStaleMs) {
        text = QStringLiteral("no polls since %1").arg(clock_text(history_.back().time_ms, "hh:mm:ss"));
    } else if (!history_.back().ready()) {
        // Polls run but the chip or the adapter does not answer them.
        const auto last = std::find_if(history_.rbegin(), history_.rend(),
                                       [](const TelemetrySample &s) { return s.ready(); });
        text = last == history_.rend()
                   ? QStringLiteral("no readings yet: the chip does not answer")
                   : QStringLiteral("no readings since %1: the chip does not answer")
                         .arg(clock_text(last->time_ms, "hh:mm:ss"));
    }
    set_banner(text);
}

void TelemetryWindow::set_banner(const QString &text) {
    if (text == stale_->text())
        return;
    stale_->setText(text);
    stale_->setStyleSheet(text.isEmpty() ? QString()
                                         : QStringLiteral("QLabel { background: #c62828; color: white; "
                                                          "font-weight: bold; padding: 2px; }"));
}

QByteArray TelemetryWindow::visible_csv() const {
    QByteArray out = CsvRecorder::header().join(QLatin1Char(',')).toUtf8() + '\n';
    FaultEdgeDetector edges;
    for (const TelemetrySample &s : history_) {
        const std::vector<FaultEdge> e = edges.update(s);
        if (s.time_ms < from_ms() || s.time_ms > to_ms())
            continue;
        out += CsvRecorder::row(s, from_ms(), e).join(QLatin1Char(',')).toUtf8() + '\n';
    }
    return out;
}

QString TelemetryWindow::image_stamp() const {
    const auto &regs = view_.registers();
    const QString chip = view_.registers_valid()
                             ? QStringLiteral("chip ID 0x%1").arg(int(regs[rx5120::reg::kChipId]), 2, 16, QLatin1Char('0'))
                             : QStringLiteral("chip ID not read");
    return QStringLiteral("%1   %2   evalpanel %3   %4 to %5")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), chip,
             QCoreApplication::applicationVersion(),
             clock_text(from_ms(), "yyyy-MM-dd hh:mm:ss"), clock_text(to_ms(), "hh:mm:ss"));
}

QImage TelemetryWindow::visible_image() {
    // The plots with a line under them saying when, which chip, which
    // program and which range: a picture that leaves the program says so.
    const QImage plots = plot_area_->grab().toImage();
    const QFontMetrics fm(font());
    const int footer = fm.height() + 8;
    QImage image(plots.width(), plots.height() + footer, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(plots.devicePixelRatio());
    image.fill(palette().color(QPalette::Window));
    QPainter p(&image);
    p.drawImage(0, 0, plots);
    p.setFont(font());
    p.setPen(palette().color(QPalette::WindowText));
    const double h = plots.height() / plots.devicePixelRatio();
    p.drawText(QPointF(TimePlot::kLeftMargin, h + 4 + fm.ascent()), image_stamp());
    return image;
}

int TelemetryWindow::plotted_points() const {
    int n = 0;
    for (TimePlot *p : plots_)
        for (int i = 0; i < static_cast<int>(p->series().size()); ++i)
            for (const QPolygonF &run : p->pieces(i))
                n += static_cast<int>(run.size());
    return n;
}

void TelemetryWindow::export_png() {
    const QString path = with_suffix(
        QFileDialog::getSaveFileName(this, QStringLiteral("Export Plots"), default_export_name("telemetry", "png"),
                                     QStringLiteral("PNG (*.png)")),
        "png");
    if (path.isEmpty())
        return;
    const QImage image = visible_image();
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
            note_->setText(error.isEmpty() ? QStringLiteral("saved %1").arg(path) : error);
        });
}

void TelemetryWindow::export_csv() {
    const QString path = with_suffix(
        QFileDialog::getSaveFileName(this, QStringLiteral("Export Polls"), default_export_name("telemetry", "csv"),
                                     QStringLiteral("CSV (*.csv)")),
        "csv");
    if (path.isEmpty())
        return;
    const QByteArray bytes = visible_csv();
    write_later(this, path, [bytes] { return bytes; },
                [this, path](const QString &error) {
                    note_->setText(error.isEmpty() ? QStringLiteral("saved %1").arg(path) : error);
                });
}

void TelemetryWindow::save_faults() {
    const QString path = with_suffix(
        QFileDialog::getSaveFileName(this, QStringLiteral("Save Faults"), default_export_name("faults", "txt"),
                                     QStringLiteral("Text (*.txt)")),
        "txt");
    if (path.isEmpty())
        return;
    QByteArray bytes;
    for (int i = 0; i < faults_->count(); ++i)
        bytes += faults_->item(i)->text().toUtf8() + '\n';
    write_later(this, path, [bytes] { return bytes; },
                [this, path](const QString &error) {
                    note_->setText(error.isEmpty() ? QStringLiteral("saved %1").arg(path) : error);
                });
}

QString TelemetryWindow::pause_between(int64_t from, int64_t to) const {
    for (const Pause &pause : pauses_)
        if (pause.from < to && pause.to > from)
            return pause.why;
    return QString();
}

void TelemetryWindow::note_pause(int64_t from_ms, int64_t to_ms, const QString &why) {
    pauses_.push_back({from_ms, to_ms, why});
    // Kept as long as the samples they explain.
    while (!pauses_.empty() && to_ms - pauses_.front().to > Workbench::kHistoryMs)
        pauses_.erase(pauses_.begin());
    // Set again: the plots draw their gaps anew.
    for (TimePlot *p : plots_)
        p->set_pause_notes([this](int64_t from, int64_t to) { return pause_between(from, to); });
}

void TelemetryWindow::add_fault(const FaultEdge &e) {
    // The polls pause while the adapter is away: their gap is named so.
    if (e.event && e.name == QLatin1String("adapter lost"))
        adapter_lost_ms_ = e.time_ms;
    else if (e.event && e.name == QLatin1String("adapter back") && adapter_lost_ms_ >= 0) {
        note_pause(adapter_lost_ms_, e.time_ms, QStringLiteral("adapter lost"));
        adapter_lost_ms_ = -1;
    }
    auto *item = new QListWidgetItem(clock_text(e.time_ms, "hh:mm:ss.zzz") + QStringLiteral("  ") +
                                     e.text());
    item->setData(kTimeRole, static_cast<qlonglong>(e.time_ms));
    faults_->addItem(item);
    // Bounded by count and by age: the oldest lines go first.
    while (faults_->count() > kMaxFaultLines ||
           (faults_->count() > 1 &&
            e.time_ms - faults_->item(0)->data(kTimeRole).toLongLong() > kFaultAgeMs))
        delete faults_->takeItem(0);
    faults_->scrollToBottom();
}

QWidget *TelemetryWindow::readout() const {
    return readout_;
}
