// The power-up of the six bucks, timed from the rise of NRST that launches
// it: for each buck its enable, start-up delay, soft-start ramp and target
// voltage as the registers set them at that power-up (the plan), and over
// it what a burst of status polls after the rise saw: when each buck first
// regulated (power good). The VIOSYS, NRST and NSLP edges sit on the same
// axis; a table lists planned start and end and measured power good per
// buck, and the view exports as PNG and CSV.
#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "device/session_snapshot.h"
#include "device/telemetry.h"

class QLabel;
class QTableWidget;
class PowerUpTimeline;

namespace evalpanel {
class SessionView;
class Workbench;
struct FieldInfo;
} // namespace evalpanel

// One buck's start as its registers set it; times in milliseconds after
// NRST rises.
struct BuckStart {
    // The buck whose registers it starts with: its multiphase group's
    // master, or itself.
    int master = 0;
    bool enabled = false;
    // The delay selector's "never": the buck does not start by itself.
    bool never = false;
    double delay_ms = 0.0;
    // mV per microsecond; unknown for a ramp value without a selector item.
    std::optional<double> ramp_mv_per_us;
    std::optional<int> target_mv;
    // From the delay to the target voltage at the ramp's rate.
    std::optional<double> soft_start_ms;

    bool starts() const { return enabled && !never; }
    // When the ramp ends: unknown without a known ramp.
    std::optional<double> end_ms() const {
        return soft_start_ms ? std::optional<double>(delay_ms + *soft_start_ms) : std::nullopt;
    }
};

// The text of a field's value in the unit of the main window's selectors.
using FieldText = std::function<QString(const evalpanel::FieldInfo &, unsigned value)>;

// Each buck's start from a register image, through the selectors' item
// texts ("1.5 ms", "7.5 mV/us", "820 mV").
std::array<BuckStart, evalpanel::kBuckCount> power_up_plan(const evalpanel::RegisterImage &image,
                                                           const FieldText &text);

// What was seen of one buck after NRST rose; milliseconds after the rise.
struct MeasuredStart {
    std::optional<double> power_good_ms;
    double resolution_ms = 0.0; // the edge lies within this much before it
    // The first poll (at the 150 ms pace) that measured its current above zero.
    std::optional<int64_t> first_current_ms;
};

// The table's cells of one buck, also the CSV's: "" for what is unknown.
struct PowerUpRow {
    QString target, start, end, power_good, late;
};
PowerUpRow power_up_row(const BuckStart &plan, const MeasuredStart &measured, bool watching);

// The CSV of a timed power-up: a comment line with the date and the edges,
// a header row, one row per buck.
QByteArray power_up_csv(const evalpanel::PowerUpRecord &record,
                        const std::array<BuckStart, evalpanel::kBuckCount> &plan,
                        const std::array<MeasuredStart, evalpanel::kBuckCount> &measured);

class PowerUpWindow : public QWidget {
    Q_OBJECT

  public:
    PowerUpWindow(evalpanel::SessionView &view, evalpanel::Workbench &workbench, FieldText text,
                  QWidget *parent = nullptr);

    const std::array<BuckStart, evalpanel::kBuckCount> &plan() const { return plan_; }
    const std::array<MeasuredStart, evalpanel::kBuckCount> &measured() const { return measured_; }
    // The power-up shown, once an NRST rise was timed.
    const std::optional<evalpanel::PowerUpRecord> &record() const { return record_; }
    bool rise_seen() const { return record_.has_value(); }
    QTableWidget *table() const { return table_; }
    // The read-out for a time on the axis and a buck's row (-1: none).
    QString readout(double ms, int buck) const;
    void show_readout(const QString &text);
    void refresh();

  protected:
    void showEvent(QShowEvent *event) override;

  private:
    void take(const evalpanel::PowerUpRecord &record);
    void add(const evalpanel::TelemetrySample &sample);
    void fill_table();
    void export_png();
    void export_csv();

    evalpanel::SessionView &view_;
    FieldText text_;
    std::optional<evalpanel::PowerUpRecord> record_;
    std::array<BuckStart, evalpanel::kBuckCount> plan_{};
    std::array<MeasuredStart, evalpanel::kBuckCount> measured_{};
    PowerUpTimeline *timeline_ = nullptr;
    QTableWidget *table_ = nullptr;
    QLabel *readout_ = nullptr;
    QLabel *note_ = nullptr;
};
