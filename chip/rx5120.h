// Constants of the RX5120 that the program and the virtual kit's chip must
// agree on. Header only; depends on nothing.
#pragma once

#include <cstdint>

namespace rx5120 {

// 7-bit I2C address of the chip at power-up (0x61 with the address-select
// pin high).
constexpr uint8_t kDefaultAddress = 0x60;

// Register that selects the page (writing n selects page n; 7 or more page 0).
constexpr uint8_t kPageRegister = 0xFF;
constexpr int kPageCount = 7;

// Register that takes the access-level key.
constexpr uint8_t kModeKeyRegister = 0xDD;

// The mode key: after a write of 0x00 to the key register (locked, level
// user), the first n + 1 bytes written in order open level n (1 advanced,
// 2 debug, 3 test, 4 scan).
constexpr uint8_t kModeKey[5] = {0x5A, 0xC3, 0x96, 0x3C, 0xA5};

// Chip identification register and the value this silicon reads.
constexpr uint8_t kChipIdRegister = 0x18;
constexpr uint8_t kChipId = 0x84;

// The board's temperature sensor on the adapter's third I2C bus.
constexpr uint8_t kBoardSensorAddress = 0x48;

} // namespace rx5120
