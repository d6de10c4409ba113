// The control language's overview: what a person at the desk would look at
// on the board.
#include "control_interpreter.h"
#include "control_text.h"

#include <cstdio>

namespace virtualkit {

namespace {

std::string buck_state_text(uint8_t s) {
    switch (s) {
    case 0:
        return "off";
    case 1:
        return "idle phase";
    case 3:
        return "soft start";
    case 4:
        return "PWM";
    case 5:
        return "PFM";
    case 6:
        return "ECO";
    case 13:
        return "sleeping";
    case 15:
        return "test mode";
    default:
        if (s >= 8 && s <= 12)
            return "PWM, " + std::to_string(s - 6) + " phases";
        return "state " + std::to_string(s);
    }
}

const char *bus_name(Adapter::Bus bus) {
    switch (bus) {
    case Adapter::Bus::System:
        return "system";
    case Adapter::Bus::Ventra:
        return "Ventra";
    case Adapter::Bus::Sensor:
        return "board sensor";
    default:
        return "none";
    }
}

} // namespace

std::string ControlInterpreter::status(const Args &) {
    Adapter &ad = kit_.adapter_;
    Rx5120 &chip = kit_.chip_;
    char text[160];

    std::snprintf(text, sizeof text, "adapter: %s, %s, bootloader %s, firmware %s",
                  kit_.plugged_ ? "plugged" : "unplugged",
                  ad.mode() == Adapter::Mode::Firmware ? "firmware running" : "in bootloader",
                  version_text(ad.bootloader_version()).c_str(),
                  version_text(ad.firmware_version()).c_str());
    line(text);
    if (kit_.plugged_) {
        std::snprintf(text, sizeof text, "pins: A 0x%08x, B 0x%08x, I2C bus %s",
                      ad.pin_levels(0, now_), ad.pin_levels(1, now_), bus_name(ad.bus()));
        line(text);
    }
    if (chip.powered()) {
        std::snprintf(text, sizeof text,
                      "chip: powered, address 0x%02x, page %d, level %s, nack %s", chip.address(),
                      chip.page(), level_name(chip.level()), chip.nack() ? "on" : "off");
        line(text);
        for (int b = 0; b < Rx5120::kBucks; ++b) {
            std::snprintf(text, sizeof text, "buck%d: %s, %u mV, load %u mA", b,
                          buck_state_text(chip.buck_state(b, now_)).c_str(),
                          chip.output_mv(b, now_), chip.load(b));
            line(text);
        }
    } else {
        line("chip: not powered");
    }
    std::snprintf(text, sizeof text, "board: %.4f C, die level %d, multiphase %d",
                  kit_.sensor_.celsius(), chip.die_level(), chip.multiphase_default());
    line(text);
    std::string conditions;
    for (int c = 0; c < static_cast<int>(Condition::Count); ++c)
        if (chip.condition(static_cast<Condition>(c)))
            conditions += std::string(" ") + condition_name(static_cast<Condition>(c));
    line("conditions:" + (conditions.empty() ? std::string(" none") : conditions));
    std::string refused;
    for (size_t code = 0; code < kit_.refused_.size(); ++code)
        if (kit_.refused_[code]) {
            std::snprintf(text, sizeof text, " 0x%02X", static_cast<unsigned>(code));
            refused += text;
        }
    line("faults: latency " + std::to_string(kit_.latency_us_ / 1000) + " ms, lose " +
         std::to_string(kit_.lose_) + ", refused" + (refused.empty() ? " none" : refused));
    line(std::string("clock: ") + (kit_.clock_.manual() ? "manual " : "real ") +
         format_ms(kit_.clock_.now_us()) + " ms");
    return {};
}

} // namespace virtualkit
