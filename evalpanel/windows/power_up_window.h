// The power-up sequence of the six bucks as the registers set it: for each
// its enable, start-up delay, soft-start ramp and target voltage, drawn as
// a timeline from the moment VIOSYS rises. Over it, once VIOSYS has risen
// with polling on, what the polls saw: when each buck first regulated
// (power good) and when its current was first measured above zero, at the
// polls' pace.
#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "device/session_snapshot.h"
#include "device/telemetry.h"

class QLabel;

namespace evalpanel {
class SessionView;
class Workbench;
struct FieldInfo;
} // namespace evalpanel

// One buck's start as its registers set it; times in milliseconds after
// VIOSYS rises.
struct BuckStart {
    bool enabled = false;
    // The delay selector's "never": the buck does not start by itself.
    bool never = false;
    double delay_ms = 0.0;
    // mV per microsecond; unknown for a ramp value without a selector item.
    std::optional<double> ramp_mv_per_us;
    std::optional<int> target_mv;
    // From the delay to the target voltage at the ramp's rate.
    std::optional<double> soft_start_ms;
};

// The text of a field's value in the unit of the main window's selectors.
using FieldText = std::function<QString(const evalpanel::FieldInfo &, unsigned value)>;

// Each buck's start from a register image, through the selectors' item
// texts ("1.5 ms", "7.5 mV/us", "820 mV").
std::array<BuckStart, evalpanel::kBuckCount> power_up_plan(const evalpanel::RegisterImage &image,
                                                           const FieldText &text);

// What the polls saw after VIOSYS last rose; times in milliseconds after
// the poll that found it up.
struct MeasuredStart {
    std::optional<int64_t> power_good_ms;
    std::optional<int64_t> first_current_ms;
};

class PowerUpWindow : public QWidget {
    Q_OBJECT

  public:
    PowerUpWindow(evalpanel::SessionView &view, evalpanel::Workbench &workbench, FieldText text,
                  QWidget *parent = nullptr);

    const std::array<BuckStart, evalpanel::kBuckCount> &plan() const { return plan_; }
    const std::array<MeasuredStart, evalpanel::kBuckCount> &measured() const { return measured_; }
    // Whether a rise of VIOSYS was seen since the window was created.
    bool rise_seen() const { return rise_ms_ >= 0; }
    void refresh();

  protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

  private:
    void add(const evalpanel::TelemetrySample &sample);

    evalpanel::SessionView &view_;
    FieldText text_;
    std::array<BuckStart, evalpanel::kBuckCount> plan_{};
    std::array<MeasuredStart, evalpanel::kBuckCount> measured_{};
    int64_t rise_ms_ = -1;
    QLabel *note_ = nullptr;
};
