// What is not live must not look live. While the connection is not ready
// (no adapter, or the chip does not answer) the chip's flags, the interrupt
// line, the masks, the chip version and the fields read from the adapter's
// pins show a dash or are greyed. The main window renders each of them
// through this one rule.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "colours.h"
#include "status_bar_text.h"

// What a field shows instead of a value that is not live.
inline const QString kNotLiveText = QStringLiteral("\u2014");
// The connection label while the chip is simply not powered: no fault.
inline const QString kNotPoweredText = QStringLiteral("chip not powered (VIOSYS low)");
// Background of an indicator whose value is not live, and of the
// connection label while the chip is not powered.
inline constexpr Rgb kNotLive{236, 236, 236};

struct IndicatorShown {
    QString text;
    Rgb colour;
};

class LiveRule {
  public:
    // `viosys`: the supply pin's level as the adapter last read it (1 on,
    // 0 off, -1 unknown).
    LiveRule(int connection_state, int viosys) : state_(connection_state), viosys_(viosys) {}

    bool live() const { return state_ == 1; }
    // A 0/1 indicator (a flag, the interrupt line): its level in its
    // colour, or a dash on grey.
    IndicatorShown indicator(int value) const;
    // A control that shows the chip's state (a mask, a flag's Clear).
    bool register_control_enabled(bool registers_valid) const { return live() && registers_valid; }
    // A pin box: the adapter drives it whether or not the chip answers.
    bool pin_control_enabled() const { return state_ != 0; }
    // The status bar's chip version label: dashes unless live and read.
    QString chip_version(uint8_t chip_id, bool registers_valid) const;
    // The connection label and message. An answerless chip with its supply
    // off is not powered rather than failing.
    std::optional<ConnectionDisplay> connection() const;

  private:
    int state_;
    int viosys_;
};
