// Decoding of the status poll: the 60-byte block that one run of the status
// script returns, turned into the texts of the "Bucks" and "System Flags /
// Interrupts" groups, and the texts and colours of the status bar. Plain data
// in, plain data out; the main window puts the results into its widgets.
#pragma once

#include "colours.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

inline constexpr int kResultBlockSize = 60;
using ResultBlock = std::array<uint8_t, kResultBlockSize>;

inline constexpr int kBuckCount = 6;

// Offsets in the result block.
namespace block {
// State register of Buck k (low nibble: its mode state).
constexpr int mode_state(int buck) {
    return 1 + 2 * buck;
}
// Variant register of Buck k (bit 2: the low-power form of PFM).
constexpr int mode_variant(int buck) {
    return 2 + 2 * buck;
}
inline constexpr int kMultiphaseConfig = 0x0D;
inline constexpr int kLoadCurrentLow = 0x0E;
inline constexpr int kFlags0 = 0x0F;
inline constexpr int kFlags1 = 0x10;
inline constexpr int kLoadCurrentSelect = 0x19;
inline constexpr int kPinLevels = 0x1A;
inline constexpr int kBoardSensor = 0x23;
} // namespace block

// Texts the status controls show while the chip is not ready.
inline const QString kUndefinedText = QStringLiteral("Undefined");
inline const QString kNoCurrentText = QStringLiteral("---");
inline const QString kNotAvailableText = QStringLiteral("Not available");

// Initial texts of the status bar labels.
inline const QString kConnectionLabelInitial = QStringLiteral("   not connected   ");
inline const QString kAccessLabelInitial = QStringLiteral("   00:00   ");
inline const QString kChipVersionLabelInitial = QStringLiteral("   Chip ver. ---- ----   ");

enum class PollOutcome {
    Ok,          // the block is fresh
    AdapterLost, // the adapter is gone: stop polling, start reconnecting
    Nack,        // the chip or the board sensor did not acknowledge
};

// Classifies the result code of a status script run.
PollOutcome classify_script_result(int32_t result);

// Mode state of a buck: the low nibble of its state register.
int mode_state(const ResultBlock &block, int buck);

// Mode text for a state. States 1 and 2 are passing moments of the buck's
// state machine and give no text: the control keeps what it showed.
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

// What the status bar shows for a connection state.
struct ConnectionDisplay {
    QString label;   // text of the connection label
    QString message; // status message, shown without time-out
    Rgb background;  // background of the connection label
};

// Display for ConnectionState 0, 1 or 2; nothing for any other value.
std::optional<ConnectionDisplay> connection_display(int connection_state);

// Access label of the last single register access.
QString access_label_text(uint8_t address, uint8_t data, bool write);

// Chip version label: the eight bits of the chip ID register, bit 7 first.
QString chip_version_text(uint8_t chip_id);
