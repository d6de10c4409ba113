// The adapter's command words: byte 0 of a request report (the low byte of
// its little-endian command word). The library composes requests with these
// names and the kit's adapter model decodes them with the same names.
#pragma once

#include <cstdint>

namespace rx5120::cmd {

// Pins and I2C.
constexpr uint8_t kPinConfig = 0xA0;
constexpr uint8_t kPinSet = 0xA1;
constexpr uint8_t kReadPin = 0xA2;
constexpr uint8_t kI2cInit = 0xA4;
constexpr uint8_t kI2cWrite = 0xA5;
constexpr uint8_t kI2cRead = 0xA6;
constexpr uint8_t kScanTest = 0xA7;
constexpr uint8_t kSwI2cWrite = 0xA8;
constexpr uint8_t kSwI2cRead = 0xA9;
constexpr uint8_t kSwI2cSetPins = 0xCA;

// Firmware and bootloader. 0xB0 starts the firmware from the bootloader and
// stops the packet stream while the firmware runs.
constexpr uint8_t kReturnToBootloader = 0xA3;
constexpr uint8_t kStartFirmware = 0xB0;
constexpr uint8_t kStopPacketFlow = 0xB0;
constexpr uint8_t kFlash = 0xB1;
constexpr uint8_t kVersions = 0xB2;
constexpr uint8_t kReadMemory = 0xB3;
constexpr uint8_t kUpdateBootloader = 0xC3;

// Scripts and converters.
constexpr uint8_t kScript = 0xC2;
constexpr uint8_t kInitAdc = 0xC4;
constexpr uint8_t kReadAdc = 0xC5;

// Peripherals.
constexpr uint8_t kFifoPacket = 0xC1;
constexpr uint8_t kInitPwm = 0xC6;
constexpr uint8_t kSetPwm = 0xC7;
constexpr uint8_t kLoadLut = 0xC8;
constexpr uint8_t kStartDacWrite = 0xC9;
constexpr uint8_t kDtiTransfer = 0xCB;
constexpr uint8_t kShakeTable = 0xCC;
constexpr uint8_t kStartDemo = 0xCD;

// Flags in the upper bytes of some command words.
constexpr uint32_t kReadMemoryAtZeroFlag = 0x100;   // read memory: the address is 0
constexpr uint32_t kFifoPacketFlag = 0x01000000;    // FIFO packet request

// Byte 8 of a script request: store the chunk, or run from the offset.
constexpr uint8_t kScriptStore = 0xFE;
constexpr uint8_t kScriptRun = 0x00;

} // namespace rx5120::cmd
