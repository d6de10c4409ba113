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
// The levels' names, by level number.
inline constexpr const char *kAccessLevelNames[5] = {"user", "advanced", "debug", "test", "scan"};

// Chip identification register and the value this silicon reads.
constexpr uint8_t kChipIdRegister = 0x18;
constexpr uint8_t kChipId = 0x84;

// The board's temperature sensor on the adapter's third I2C bus.
constexpr uint8_t kBoardSensorAddress = 0x48;

// Page-0 registers the program and the kit refer to by number.
namespace reg {
constexpr uint8_t kFpwm = 0x06;
constexpr uint8_t kBuckCtrl0 = 0x07; // + buck number
constexpr uint8_t kFlags0 = 0x0D;    // bits 1..0: TEMP, read-only
constexpr uint8_t kFlags1 = 0x0E;
constexpr uint8_t kIntMask0 = 0x0F;
constexpr uint8_t kGeneral = 0x10;
constexpr uint8_t kSwReset = 0x11;
constexpr uint8_t kDelay0 = 0x12;  // + buck number
constexpr uint8_t kChipId = kChipIdRegister;
constexpr uint8_t kPfmLev0 = 0x19; // + buck number
constexpr uint8_t kPhaseLevB0 = 0x1F;
constexpr uint8_t kPhaseLevB3 = 0x20;
constexpr uint8_t kSelILoad = 0x21;
constexpr uint8_t kLoadCurr = 0x22;
constexpr uint8_t kIntMask2 = 0x2E;
constexpr uint8_t kMultiphase = 0x3D;
constexpr uint8_t kTestMode = 0xE0;
constexpr uint8_t kModeKey = kModeKeyRegister;
constexpr uint8_t kPage = kPageRegister;
// On page k + 1, the variant and state registers of buck k.
constexpr uint8_t kBuckInfo = 0x31;
constexpr uint8_t kBuckState = 0x32;
} // namespace reg

// The flags that clear where a 0 is written: every bit of R_FLAGS_0 but
// TEMP, every bit of R_FLAGS_1.
constexpr uint8_t kFlags0KeepMask = 0x03;
constexpr uint8_t kFlags1KeepMask = 0x00;

// Adapter pins of port A (group 0) wired to the chip.
namespace pin {
constexpr int kGroupA = 0;
constexpr int kGroupB = 1;
constexpr int kAux3 = 3;         // output, driven high at start
constexpr int kAux15 = 15;       // output, driven high at start
constexpr int kInterrupt = 18;   // PIN_INT, active low, input
constexpr int kVioSys = 22;      // PIN_VIO_SYS, the chip's supply
constexpr int kNrst = 23;        // PIN_NRST
constexpr int kNslp = 24;        // PIN_NSLP
constexpr int kAddressSel = 25;  // PIN_ADDR
// The system bus (clock A1, data A5), the Ventra bus (A2, A4) and the board
// sensor's bus (B18, B19).
constexpr int kSystemBus[4] = {kGroupA, 1, kGroupA, 5};
constexpr int kVentraBus[4] = {kGroupA, 2, kGroupA, 4};
constexpr int kSensorBus[4] = {kGroupB, 18, kGroupB, 19};
} // namespace pin

} // namespace rx5120
