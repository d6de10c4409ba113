// A device on one of the adapter's I2C buses, as the adapter's bus master
// sees it: it acknowledges its address or not, and moves bytes from and to
// its registers starting at a register address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace virtualkit {

class I2cTarget {
  public:
    virtual ~I2cTarget() = default;

    // One transfer addressed to `device` (7-bit): `n` bytes read into `data`
    // or written from it, starting at register `reg`. False when nothing on
    // the bus acknowledged `device`; then no byte moved. A transfer of zero
    // bytes only addresses the device (a probe).
    virtual bool transfer(uint8_t device, bool write, uint8_t reg, uint8_t *data, size_t n,
                          uint64_t now_us) = 0;
};

} // namespace virtualkit
