#include "board_sensor.h"

#include "chip/rx5120.h"

#include <cmath>

namespace virtualkit {

namespace {
constexpr std::array<uint16_t, 3> kSettingsDefault = {0x60A0, 0x4B00, 0x5000};
}

void BoardSensor::factory_reset() {
    powered_ = false;
    raw_ = 400;
    settings_ = kSettingsDefault;
}

void BoardSensor::set_powered(bool on) {
    if (on && !powered_)
        settings_ = kSettingsDefault; // a fresh power-up forgets the settings
    powered_ = on;
}

bool BoardSensor::set_celsius(double celsius) {
    if (!(celsius >= kMinCelsius && celsius <= kMaxCelsius))
        return false;
    raw_ = static_cast<int>(std::lround(celsius / 0.0625));
    return true;
}

// The sensor's four 16-bit registers as a byte sequence, most significant
// byte first; the pointer wraps after the last one.
uint8_t BoardSensor::byte_at(unsigned index) const {
    const unsigned reg = (index / 2) % 4;
    const uint16_t word =
        reg == 0 ? static_cast<uint16_t>((raw_ & 0xFFF) << 4) : settings_[reg - 1];
    return index % 2 == 0 ? static_cast<uint8_t>(word >> 8) : static_cast<uint8_t>(word & 0xFF);
}

bool BoardSensor::transfer(uint8_t device, bool write, uint8_t reg, uint8_t *data, size_t n,
                           uint64_t) {
    if (!powered_ || device != rx5120::kBoardSensorAddress)
        return false;
    const unsigned start = (reg % 4u) * 2;
    for (size_t i = 0; i < n; ++i) {
        const unsigned index = (start + static_cast<unsigned>(i)) % 8;
        if (!write) {
            data[i] = byte_at(index);
            continue;
        }
        const unsigned r = index / 2;
        if (r == 0)
            continue; // the temperature register is read-only
        uint16_t &word = settings_[r - 1];
        word = index % 2 == 0 ? static_cast<uint16_t>((word & 0x00FF) | data[i] << 8)
                              : static_cast<uint16_t>((word & 0xFF00) | data[i]);
    }
    return true;
}

} // namespace virtualkit
