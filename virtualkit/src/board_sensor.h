// The board's temperature sensor: a 12-bit sensor at 0x48 with 0.0625 °C
// per count. Register 0 holds the temperature (two bytes, most significant
// first, the 12 bits left-aligned), registers 1 to 3 configuration and two
// limits. It sits on the chip's VIOSYS supply, so it answers only while
// VIOSYS is up.
#pragma once

#include "i2c_target.h"

#include <array>
#include <cstdint>

namespace virtualkit {

class BoardSensor final : public I2cTarget {
  public:
    static constexpr double kMinCelsius = -128.0;
    static constexpr double kMaxCelsius = 127.9375;

    BoardSensor() { factory_reset(); }

    void factory_reset();
    void set_powered(bool on);
    bool powered() const { return powered_; }

    // False (and nothing changed) outside the sensor's 12-bit range.
    bool set_celsius(double celsius);
    double celsius() const { return raw_ * 0.0625; }

    bool transfer(uint8_t device, bool write, uint8_t reg, uint8_t *data, size_t n,
                  uint64_t now_us) override;

  private:
    uint8_t byte_at(unsigned index) const;

    bool powered_ = false;
    int raw_ = 400;                      // 25.0 °C
    std::array<uint16_t, 3> settings_{}; // configuration, low limit, high limit
};

} // namespace virtualkit
