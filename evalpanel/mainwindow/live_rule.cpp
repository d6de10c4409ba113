#include "live_rule.h"

IndicatorShown LiveRule::indicator(int value) const {
    if (!live() || value < 0)
        return {kNotLiveText, kNotLive};
    return {QString::number(value), indicator_colour(value)};
}

QString LiveRule::chip_version(uint8_t chip_id, bool registers_valid) const {
    return live() && registers_valid ? chip_version_text(chip_id) : kChipVersionLabelInitial;
}

std::optional<ConnectionDisplay> LiveRule::connection() const {
    std::optional<ConnectionDisplay> shown = connection_display(state_);
    if (shown && state_ == 2 && viosys_ == 0) {
        shown->label = QStringLiteral("   %1   ").arg(kNotPoweredText);
        shown->background = kNotLive;
    }
    return shown;
}
