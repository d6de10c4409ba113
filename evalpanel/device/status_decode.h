// Decoding of the status poll: the 60-byte block that one run of the status
// script returns, turned into the texts of the "Bucks" and "System Flags /
// Interrupts" groups. Plain data in, plain data out.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

#include "chip/status_script.h"

namespace evalpanel {

using ResultBlock = std::array<uint8_t, rx5120::kStatusResultSize>;
using rx5120::kBuckCount;

// Texts the status controls show while the chip is not ready.
inline const QString kUndefinedText = QStringLiteral("Undefined");
inline const QString kNoCurrentText = QStringLiteral("---");
inline const QString kNotAvailableText = QStringLiteral("Not available");

enum class PollOutcome {
    Ok,          // the block is fresh
    AdapterLost, // the adapter is gone: stop polling, start reconnecting
    Nack,        // the chip or the board sensor did not acknowledge
};

// Classifies the result code of a status script run.
PollOutcome classify_script_result(int32_t result);

// Mode state of a buck: the low nibble of its state register.
int mode_state(const ResultBlock &block, int buck);

// Mode text for a state. States 1 and 2 are the idle moments between the
// phases of the power-up sequence: "Idle phase", never a stale text.
std::optional<QString> mode_text(int state, bool low_power_variant);
std::optional<QString> buck_mode_text(const ResultBlock &block, int buck);

struct LoadCurrentReading {
    int source; // 0 to 5 Buck0 to Buck5, 6 the total, 7 none
    int raw;    // 11 bits, 10 mA per step
};

LoadCurrentReading load_current(const ResultBlock &block);

// Index of the current field (current0 to current6) that shows a reading of
// the given source, or -1 when the source has no field.
int current_field_for_source(int source);

// "%d mA" of the raw reading.
QString load_current_text(int raw);

// Multiphase configuration of the block; the unassigned values 10 to 15 read
// as configuration 0.
int multiphase_configuration(const ResultBlock &block);

// The buck whose enable, delay and ramp a buck runs with in a configuration
// (0 to 9; others as 0): its group's master, or itself when single.
int multiphase_master(int configuration, int buck);

// Texts of multiphase0 to multiphase5 for a configuration, given the mode
// states of the six bucks (a master's active phases come from its state).
std::array<QString, kBuckCount> multiphase_texts(int configuration,
                                                 const std::array<int, kBuckCount> &mode_states);

// Die temperature level (field TEMP, bits 1..0 of the first flag register)
// and its text.
int chip_temperature_level(uint8_t flags0);
QString chip_temperature_text(int level);

// Board temperature in degrees Celsius from the sensor's register 0, most
// significant byte first: a 12-bit two's-complement number of 1/16 degrees.
double board_temperature(uint8_t msb, uint8_t lsb);
double board_temperature(const ResultBlock &block);
QString board_temperature_text(double celsius);

// Result-block offset of a converter input, or -1 for a pair the status
// script does not read.
int converter_offset(int unit, int channel);

// Scaled converter reading a * raw * b / 2^shift (shift taken modulo 32);
// 0.0 for a pair the script does not read.
double converter_reading(const ResultBlock &block, int unit, int channel, double a, int shift,
                         double b);

// "%2.2f" of a converter reading, at most 11 characters.
QString measurement_text(double value);

// What the board temperature field shows: the reading of a fresh poll while
// VIOSYS is up and the sensor was found, else "Not available".
QString board_temperature_display(const ResultBlock &block, bool fresh, bool supply_on,
                                  bool sensor_present);

} // namespace evalpanel
