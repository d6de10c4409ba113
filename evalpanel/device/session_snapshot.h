// What the program knows of the adapter and the chip, as one value: the
// session keeps its state in it and publishes copies of it, so the GUI
// renders from its own snapshot and needs nothing of the adapter library.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

#include "chip/rx5120.h"
#include "device/status_decode.h"

namespace evalpanel {

// Connection states.
constexpr int kNotConnected = 0;
constexpr int kConnected = 1;
constexpr int kNotAcknowledged = 2;

constexpr int kReconnectIntervalMs = 500;
// Attempts on an adapter that stays away or silent start at most this far
// apart: with the connection sequence behind it, the program is ready
// within 2 s of the adapter coming back.
constexpr int kReconnectMaxIntervalMs = 1500;
constexpr int kPollIntervalMs = 150;

// The status bar and the command log while an adapter is plugged in but
// does not answer.
inline constexpr const char *kAdapterSilentText = "Adapter does not answer; retrying.";
// ... and while the adapter answers from its bootloader but has no firmware
// to start: only a firmware update helps, so nothing is retried.
inline constexpr const char *kAdapterNoFirmwareText =
    "Adapter has no firmware: Tools \u2192 Update Firmware";

// A command-log line of a write the chip (or the adapter) did not take.
inline QString failed_write_text(const QString &line) {
    return line + QStringLiteral(" (failed)");
}

using RegisterImage = std::array<uint8_t, 256>;

// A copy of everything the windows show of the session, taken on the device
// thread and handed to the GUI by value.
struct SessionSnapshot {
    int state = kNotConnected;
    bool adapter_open = false;
    uint8_t address = rx5120::kDefaultAddress;
    int bus = 0;
    bool polling = false;
    bool sensor_present = false;
    bool registers_valid = false;
    bool status_fresh = false;
    int access_level = -1;
    // Why no adapter is in use: an adapter that cannot be opened, or one
    // that does not answer; empty otherwise.
    QString open_failure;
    RegisterImage registers{};
    // What the chip holds as last read or written; where it differs from
    // `registers`, a change waits for "Write Registers".
    RegisterImage chip{};
    // The registers as read right after the chip last powered up.
    RegisterImage power_on{};
    bool power_on_valid = false;
    // The poll steps the load-current source through every buck and the total.
    bool cycling_currents = false;
    ResultBlock status{};

    // The last poll's level of a polled pin (0 while not connected or for
    // a pin the poll does not read).
    int pin_level(int group, int pin) const;
    // A converter reading of the last poll, as DeviceSession::adc_read.
    double adc_read(int unit, int channel, double a, int shift, double b) const;
};

// One power-up of the bucks, timed from the rise of NRST that launched it
// (or of VIOSYS, with NRST high already):
// the pins' edges, and when each buck first regulated (power good) as seen
// by a burst of status polls after the rise. The registers are the chip's
// at that moment, so that the plan shown beside the measurement is the one
// the chip ran, whatever is written afterwards.
struct PowerUpRecord {
    static constexpr int kBurstMs = 2000; // how long the polls watch
    int64_t wall_ms = 0;                  // NRST rose (ms since the epoch)
    bool registers_valid = false;
    RegisterImage registers{};
    // Edges in ms relative to the NRST rise (negative: before it); empty
    // when not seen.
    std::optional<double> viosys_ms;
    std::optional<double> nslp_ms;
    // NRST was high already: VIOSYS rising launched the sequence, and is
    // time zero.
    bool nrst_high_before = false;
    std::optional<double> nrst_fell_ms; // NRST fell while watched
    std::array<std::optional<double>, kBuckCount> power_good_ms{};
    // The gap to the poll before the one that saw power good: the edge
    // lies within it.
    std::array<double, kBuckCount> resolution_ms{};
    int polls = 0;
    double watched_ms = 0.0;
    bool done = false; // the burst is over (or was cut short)
    QString end_reason; // why it was cut short; empty when it ran out
};

} // namespace evalpanel
