// What the windows ask of the device thread: one named call per user
// action, each a whole device sequence (a control's read-modify-write, a
// map edit, "Write Registers"), so that a window posts a single call and the
// sequence is tested without widgets. The windows include this header and
// the snapshot's, never the session's blocking API.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "device/session_snapshot.h"

namespace evalpanel {

class DeviceSession;

// Bits of one page-0 register: those of `mask` become `bits`.
struct RegisterBits {
    uint8_t reg;
    uint8_t mask;
    uint8_t bits;
};

// The registers a sequence wrote, with their values afterwards.
using Written = std::vector<std::pair<int, int>>;

// ---- Connection, poll and bus ------------------------------------------------
void connect_adapter(DeviceSession &session);
void stop_firmware_check(DeviceSession &session);
void poll_now(DeviceSession &session);
void set_polling(DeviceSession &session, bool on);
void set_current_cycling(DeviceSession &session, bool on);
void select_i2c_bus(DeviceSession &session, int bus);
void set_i2c_address(DeviceSession &session, uint8_t address);
void set_bus_speed(DeviceSession &session, int index);

// ---- Registers and pins -------------------------------------------------------
// The byte, or -1 on failure or without adapter.
int read_register(DeviceSession &session, uint8_t address);
void write_register(DeviceSession &session, uint8_t address, uint8_t data);
// The same, saying whether the chip took the byte.
bool write_register_checked(DeviceSession &session, uint8_t address, uint8_t data);
// "Read Registers".
void read_all_registers(DeviceSession &session);
// "Write Registers": the cached bytes of `regs`, in order.
void write_registers(DeviceSession &session, const std::vector<uint8_t> &regs);
// Clears the flags; the registers afterwards.
RegisterImage clear_flags(DeviceSession &session);
void write_pin(DeviceSession &session, int group, int pin, int level);
// A pin's check box; ticking "Assert VIOSYS" also brings the chip up.
void write_box_pin(DeviceSession &session, int group, int pin, int level, bool checked);
void pulse_pin(DeviceSession &session, int group, int pin, int active_level);

// A bound check box or flag button: merges the bit live, logs `record`
// (unless empty), and writes the register when `write_now`.
Written apply_bit_change(DeviceSession &session, RegisterBits change, const QString &record,
                         bool write_now);
// A bound selector: merges each segment live (both segments of a
// two-register field in one job); with `write_now` each is written and
// `record` logged after the first.
Written apply_field_change(DeviceSession &session, const std::vector<RegisterBits> &segments,
                           const QString &record, bool write_now);
// A register map edit on page 0 whatever page is selected: kept in
// RegisterCache until "Write Registers" (keep_map_edit), or written now
// through the field's definition line (true when the chip took it).
void keep_map_edit(DeviceSession &session, const std::vector<RegisterBits> &bytes);
bool write_map_edit(DeviceSession &session, const char *line, uint32_t value);

// ---- Adapter firmware ------------------------------------------------------------
// Where the firmware check reports.
struct FirmwareCheckSinks {
    // One command-log line, time stamp included.
    std::function<void(const QString &line)> log;
    // The text of the message box (empty after a failed flash).
    std::function<void(const QString &text)> show_box;
    // Pages flashed so far of the image's pages, after each page.
    std::function<void(int written, int pages)> progress;
};

enum class FirmwareOutcome {
    FirmwarePresent, // automatic check, adapter has firmware: nothing done
    NotConnected,    // the adapter did not answer the version read
    NoImage,         // "firmware.bin" cannot be opened
    InvalidImage,    // bad magic, no page, more pages than the flash holds, or unreadable
    AlreadyLatest,   // the adapter's version is above the image's
    Updated,         // flashed, the adapter took it
    FlashFailed,     // flashed, the adapter refused or the link failed
};

// What an update from the menu would do, read before anything changes (the
// adapter keeps running its firmware): for the user's consent. `outcome` is
// Updated when it would flash; otherwise the reason it would not.
struct FirmwarePlan {
    FirmwareOutcome outcome = FirmwareOutcome::NotConnected;
    QString current;   // the adapter's firmware version, "major.minor.patch"
    QString image;     // the image's version
    QString file;      // the image file's name
    qint64 size = 0;   // bytes of the image file
};
FirmwarePlan plan_firmware_update(DeviceSession &session);

// The check on the session's adapter, on the device thread: automatically
// at each connection (installed into the session's connection sequence),
// or from the menu, after which the adapter's firmware is started again.
void install_automatic_firmware_check(DeviceSession &session, FirmwareCheckSinks sinks);
FirmwareOutcome update_firmware_from_menu(DeviceSession &session, const FirmwareCheckSinks &sinks);
// Sinks whose log is the session's command log.
FirmwareCheckSinks log_to_session(DeviceSession &session, FirmwareCheckSinks sinks);

} // namespace evalpanel
