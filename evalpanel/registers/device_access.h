// The device access layer: the one path from the program to the RX5120 and
// the adapter's pins. It holds the adapter handle, the chip's I2C address,
// bus and speed, the connection state, RegisterCache and the status script,
// and decides what a failed transfer means:
//   -1 from the adapter   the adapter is lost: ConnectionState 0, the poll
//                         timer stops, the reconnect timer starts (500 ms),
//                         polling is switched off;
//   any other failure     the chip did not acknowledge: "NACK" in the
//                         command log, ConnectionState 2.
// Without an adapter handle no adapter call is made, nothing is classified
// and ConnectionState stays as it is; trace and echo lines are still written.
//
// Everything runs on the GUI thread; there is one instance of the state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <QString>

#include "bridgeio.h"
#include "chip/rx5120.h"
#include "registers/status_script.h"

namespace evalpanel {

// What the layer needs from the window around it. The main window implements
// it; without a host the layer behaves as a window without a command log.
class DeviceHost {
  public:
    virtual ~DeviceHost() = default;
    // Whether the command log exists.
    virtual bool has_command_log() const = 0;
    // Appends one line to the command log.
    virtual void append_command_log(const QString &line) = 0;
    virtual void stop_poll_timer() = 0;
    virtual void start_reconnect_timer(int interval_ms) = 0;
    // Points the hidden address selector (items 60h..63h) at an index; -1
    // shows no item.
    virtual void set_address_selector_index(int index) = 0;
    // The selector's current index, -1 when it shows no item.
    virtual int address_selector_index() const = 0;
    // Runs one status poll at once (the window's timer_func).
    virtual void run_status_poll() = 0;
};

// ConnectionState values.
constexpr int kNotConnected = 0;
constexpr int kConnected = 1;
constexpr int kNotAcknowledged = 2;

constexpr int kReconnectIntervalMs = 500;

// Names of the access levels, by level number.
inline constexpr const char *kAccessLevelNames[5] = {"user", "advanced", "debug", "test", "scan"};

struct DeviceState {
    BridgeHandle handle = BRIDGEIO_INVALID_HANDLE;
    uint8_t device_address = rx5120::kDefaultAddress;
    int bus_selection = 0; // 0 system bus, 1 Ventra bus
    int speed_a = 0;
    int speed_b = 0;
    int connection_state = kNotConnected;
    bool polling_enabled = false;      // mirror of "Poll Status"
    bool board_sensor_present = false; // set by probe_board_sensor
    bool echo = true;                  // false while a status poll runs
    // The chip's page-0 registers as last read or written, by address.
    std::array<uint8_t, 256> register_cache{};
    std::array<uint8_t, kStatusScriptSize> status_script = kStatusScriptImage;
    // Result block of the last successful status poll.
    std::array<uint8_t, kStatusResultSize> status_result{};
    DeviceHost *host = nullptr;
};

// The program's one device state.
DeviceState &device();
// Back to the initial values, without a host (start of every test).
void reset_device();

// ---- Register access --------------------------------------------------

// The byte at `address`, or -1 on failure or without adapter.
int register_read(uint8_t address);
// 1 on success, 0 on failure, -1 without adapter.
int register_write(uint8_t address, uint8_t data);
// Block read into `buffer`: `length` on success, -1 on failure or without
// adapter. read_registers(0, 256, cache) refreshes the whole of RegisterCache.
int read_registers(uint8_t first, unsigned length, uint8_t *buffer);
// Selects page n (n of 7 or more selects page 0). 1 when the chip took the
// page write, -1 otherwise (also without adapter).
int switch_page(uint8_t page);
// Unlocks access level 0..4 (user, advanced, debug, test, scan; above 4 as
// 4) with the chip's mode key and restores the page. The level applied, or
// -1 if the page register could not be read or the level is negative.
int set_access_mode(int level);

// ---- Bus and address --------------------------------------------------

// Moves all chip traffic to a 7-bit address; patches and reloads the status
// script, moves the address selector and logs "i2c_addr(0x..)".
void set_i2c_address(uint8_t address);
// 0 system bus, 1 Ventra bus: patches and reloads the status script and
// selects the bus pins. The result of sw_i2c_set_pins, or -1 for any other
// bus number or without adapter.
int select_i2c_bus(int bus);
// Bus speed selector index: 0 Fast, 1 Fast++, 2 High-Speed; other indexes
// keep the speed bytes. Patches and reloads the status script.
void set_bus_speed(int index);
// Probes the board temperature sensor, then restores bus and address.
void probe_board_sensor();

// ---- Pins -------------------------------------------------------------

// Live level of a pin (0 or 1), -1 on failure, without adapter or for a pin
// number outside 0..31.
int read_pin_level(int group, int pin);
// The level from the last status poll for A18, A22, A23, A24 and A25, a live
// read for every other pin; 0 while not connected.
int pin_level(int group, int pin);
// Drives a pin and runs one status poll. 1 on success, -1 on failure or
// without adapter.
int write_pin(int group, int pin, int level);

// ---- Status poll ------------------------------------------------------

// Runs the status script once (the caller clears and sets the echo flag
// around it) and applies the outcome with apply_status_result. Returns the
// adapter's result; without adapter -1, treated as a lost adapter, with no
// adapter call.
int run_status_script();
// Applies one status script run: on success ConnectionState 1, the block
// (kStatusResultSize bytes) becomes the last result, and the two flag
// registers go into RegisterCache; -1 is a lost adapter; any other failure
// is a "NACK" only while the board sensor is present, else changes nothing.
// A failed run keeps the previous block.
void apply_status_result(int result, const uint8_t *block);

} // namespace evalpanel
