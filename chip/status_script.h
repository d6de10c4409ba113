// The adapter's script step language, the program's status script and the
// layout of the 60-byte result block one run returns. The program loads the
// script, the adapter (or the kit's model of it) runs it, and both read the
// block through these names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "chip/rx5120.h"

namespace rx5120 {

// Step opcodes; each is followed by its operands.
namespace step {
constexpr uint8_t kDevice = 0x00;     // device, speed code
constexpr uint8_t kWrite = 0x01;      // register, data, count
constexpr uint8_t kRead = 0x02;       // register, block offset, count
constexpr uint8_t kBusPins = 0x04;    // g1, p1, g2, p2, mode
constexpr uint8_t kConvert = 0x05;    // unit, channel, block offset (16 bits, low first)
constexpr uint8_t kPinLevel = 0x06;   // group, pin, block offset
constexpr uint8_t kDelay = 0x08;      // three bytes, tenths of a microsecond
constexpr uint8_t kEnd = 0xFF;
} // namespace step

constexpr std::size_t kStatusScriptSize = 168;
constexpr std::size_t kStatusResultSize = 60;
constexpr int kBuckCount = 6;

// Offsets in the status script that the program rewrites before reloading it.
namespace script {
constexpr std::size_t kAddress = 1;       // first device select
constexpr std::size_t kSpeed = 2;         // its speed code
constexpr std::size_t kBusPins = 157;     // g1 p1 g2 p2 of the chip bus
constexpr std::size_t kLastAddress = 163; // device select after the sensor
constexpr std::size_t kLastSpeed = 164;   // its speed code
} // namespace script

// Offsets in the result block.
namespace result {
// State register of Buck k (low nibble: its mode state).
constexpr int mode_state(int buck) {
    return 1 + 2 * buck;
}
// Variant register of Buck k (bit 2: the low-power form of PFM).
constexpr int mode_variant(int buck) {
    return 2 + 2 * buck;
}
constexpr int kMultiphaseConfig = 0x0D;
constexpr int kLoadCurrentLow = 0x0E;
constexpr int kFlags0 = 0x0F;
constexpr int kFlags1 = 0x10;
constexpr int kConverter0Ch3 = 0x11;
constexpr int kConverter1Ch0 = 0x13;
constexpr int kConverter1Ch1 = 0x15;
constexpr int kConverter1Ch2 = 0x17;
constexpr int kLoadCurrentSelect = 0x19;
constexpr int kPinLevels = 0x1A; // one byte per polled pin, in kPolledPins order
constexpr int kVioSysLevel = kPinLevels + 1;
constexpr int kConverter1Ch3 = 0x1F;
constexpr int kConverter0Ch2 = 0x21;
constexpr int kBoardSensor = 0x23; // two bytes, most significant first
} // namespace result

// Port A pins whose levels the status script reads, in result block order.
constexpr int kPolledPins[5] = {pin::kInterrupt, pin::kVioSys, pin::kNrst, pin::kNslp,
                                pin::kAddressSel};
constexpr int kPolledPinCount = 5;

// clang-format off
inline constexpr std::array<uint8_t, kStatusScriptSize> kStatusScriptImage = {
    step::kDevice, kDefaultAddress, 0x00,                // chip, speed code 0
    step::kConvert, 0x01, 0x00, result::kConverter1Ch0,
    step::kConvert, 0x01, 0x01, result::kConverter1Ch1,
    step::kConvert, 0x01, 0x02, result::kConverter1Ch2,
    step::kConvert, 0x01, 0x03, result::kConverter1Ch3,
    step::kConvert, 0x00, 0x02, result::kConverter0Ch2,
    step::kConvert, 0x00, 0x03, result::kConverter0Ch3,
    step::kPinLevel, pin::kGroupA, pin::kInterrupt, result::kPinLevels + 0,
    step::kPinLevel, pin::kGroupA, pin::kVioSys, result::kPinLevels + 1,
    step::kPinLevel, pin::kGroupA, pin::kNrst, result::kPinLevels + 2,
    step::kPinLevel, pin::kGroupA, pin::kNslp, result::kPinLevels + 3,
    step::kPinLevel, pin::kGroupA, pin::kAddressSel, result::kPinLevels + 4,
    step::kWrite, reg::kPage, 0x01, 0x01,                // page 1
    step::kRead, reg::kBuckState, result::mode_state(0), 0x01,
    step::kRead, reg::kBuckInfo, result::mode_variant(0), 0x01,
    step::kWrite, reg::kPage, 0x02, 0x01,                // page 2
    step::kRead, reg::kBuckState, result::mode_state(1), 0x01,
    step::kRead, reg::kBuckInfo, result::mode_variant(1), 0x01,
    step::kWrite, reg::kPage, 0x03, 0x01,                // page 3
    step::kRead, reg::kBuckState, result::mode_state(2), 0x01,
    step::kRead, reg::kBuckInfo, result::mode_variant(2), 0x01,
    step::kWrite, reg::kPage, 0x04, 0x01,                // page 4
    step::kRead, reg::kBuckState, result::mode_state(3), 0x01,
    step::kRead, reg::kBuckInfo, result::mode_variant(3), 0x01,
    step::kWrite, reg::kPage, 0x05, 0x01,                // page 5
    step::kRead, reg::kBuckState, result::mode_state(4), 0x01,
    step::kRead, reg::kBuckInfo, result::mode_variant(4), 0x01,
    step::kWrite, reg::kPage, 0x06, 0x01,                // page 6
    step::kRead, reg::kBuckState, result::mode_state(5), 0x01,
    step::kRead, reg::kBuckInfo, result::mode_variant(5), 0x01,
    step::kWrite, reg::kPage, 0x00, 0x01,                // page 0
    step::kRead, reg::kMultiphase, result::kMultiphaseConfig, 0x01,
    step::kRead, reg::kLoadCurr, result::kLoadCurrentLow, 0x01,
    step::kRead, reg::kFlags0, result::kFlags0, 0x01,
    step::kRead, reg::kFlags1, result::kFlags1, 0x01,
    step::kRead, reg::kSelILoad, result::kLoadCurrentSelect, 0x01,
    step::kDevice, kBoardSensorAddress, 0x00,            // board sensor
    step::kBusPins, pin::kSensorBus[0], pin::kSensorBus[1], pin::kSensorBus[2], pin::kSensorBus[3], 0x02,
    step::kRead, 0x00, result::kBoardSensor, 0x02,       //   temperature, 2 bytes
    step::kBusPins, pin::kSystemBus[0], pin::kSystemBus[1], pin::kSystemBus[2], pin::kSystemBus[3], 0x02,
    step::kDevice, kDefaultAddress, 0x00,                // back to the chip
    step::kEnd, step::kEnd, step::kEnd,
};
// clang-format on

static_assert(kStatusScriptImage[script::kBusPins - 1] == step::kBusPins);
static_assert(kStatusScriptImage[script::kLastAddress - 1] == step::kDevice);

} // namespace rx5120
