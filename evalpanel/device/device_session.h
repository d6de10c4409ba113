// DeviceSession: the one owner of the adapter connection and of everything
// the program knows about the chip: the handle, the chip's I2C address, bus
// and speed, the connection state, RegisterCache, the board sensor flag, the
// status script and the last status result, and the poll and reconnect
// timers. Every byte that reaches the chip or an adapter pin goes through it.
//
// A failed transfer means one of two things:
//   -1 from the adapter   the adapter is lost or silent: its handle is
//                         closed, state kNotConnected, polling stops, and a
//                         reconnection is tried after 500 ms, backing off
//                         to one attempt every 2 s while it stays away;
//   any other failure     the chip did not acknowledge: state
//                         kNotAcknowledged, "NACK" in the command log once
//                         until the chip answers again.
// Without an adapter handle no adapter call is made and the state is left
// as it is.
//
// It lives on the device thread, where every one of its calls runs: the
// connection sequence, the polls and the console's commands may wait for
// the adapter there, never on the GUI thread. What it learns it reports
// through signals; each change of what a window shows is preceded by
// published(), a copy of the whole state, so that the GUI renders from
// its own snapshot (SessionView) and never reads the session itself.
#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "bridgeio.h"
#include "chip/rx5120.h"
#include "chip/status_script.h"
#include "device/session_snapshot.h"
#include "device/status_decode.h"
#include "device/view_pacing.h"

class QTimer;

namespace evalpanel {

class DeviceSession : public QObject {
    Q_OBJECT

  public:
    explicit DeviceSession(QObject *parent = nullptr);
    ~DeviceSession() override;

    // Runs at every connection between the adapter's bootloader and its
    // firmware start: the automatic firmware check.
    void set_firmware_check(std::function<void(BridgeHandle)> check) {
        firmware_check_ = std::move(check);
    }

    // ---- State ----------------------------------------------------------
    SessionSnapshot snapshot() const;
    // A view on another thread says through this how many published
    // snapshots it has not taken yet; the session waits for it meanwhile.
    std::shared_ptr<ViewPacing> pace_for_view() {
        pacing_->on = true;
        return pacing_;
    }
    BridgeHandle handle() const { return handle_; }
    bool have_adapter() const;
    int connection_state() const { return snap_.state; }
    uint8_t device_address() const { return snap_.address; }
    int bus() const { return snap_.bus; } // 0 system bus, 1 Ventra bus
    int speed_a() const { return speed_a_; }
    int speed_b() const { return speed_b_; }
    bool polling() const { return snap_.polling; }
    bool board_sensor_present() const { return snap_.sensor_present; }
    // Why a matching adapter could not be opened (permission, in use,
    // busy), naming the README's section on access rights; empty when the
    // last attempt opened one or found none at all.
    const QString &open_failure() const { return snap_.open_failure; }
    // What the last opening attempt did, in the adapter library's words
    // ("no adapter with USB ID ... is present", "cannot open ...").
    const QString &open_result() const { return open_result_; }
    // How the user chose the adapter, as messages name it: the option
    // ("--adapter") when the program set the library's variable from one.
    static void name_adapter_choice(const QString &name);
    // The adapter in use: "PATH (serial number N), bootloader X, firmware
    // Y"; empty while none is.
    const QString &adapter_description() const { return adapter_description_; }
    // RegisterCache: the chip's page-0 registers as last read or written.
    const RegisterImage &registers() const { return snap_.registers; }
    // Whether RegisterCache was read from the chip since it was last
    // powered, reset or reconnected. Until then it shows nothing true.
    bool registers_valid() const { return snap_.registers_valid; }
    // A byte read back from the chip outside a full read.
    void set_cached(uint8_t reg, uint8_t value) {
        snap_.registers[reg] = value;
        snap_.chip[reg] = value;
        publish();
        emit cache_changed();
    }
    // The access level last applied (0 user .. 4 scan), -1 before any.
    int access_level() const { return snap_.access_level; }
    // The page last selected through this session (the user's page, which
    // the poll selects again after its own).
    int selected_page() const { return page_; }
    // The last status result; whether the last poll returned a fresh one.
    const ResultBlock &status() const { return snap_.status; }
    bool status_fresh() const { return snap_.status_fresh; }
    const std::array<uint8_t, rx5120::kStatusScriptSize> &status_script() const {
        return script_;
    }
    QTimer *poll_timer() const { return poll_timer_; }
    QTimer *reconnect_timer() const { return reconnect_timer_; }
    // The wait before the next connection attempt after a failed one.
    int reconnect_interval() const { return reconnect_interval_; }

    // A line for the command log.
    void log(const QString &line) { emit log_line(line); }

    // Who writes to the chip while it lives ("control", "map", "console"...):
    // every register the chip takes meanwhile is reported by chip_written
    // under that name. Writes outside any origin (the poll's page, the
    // connection sequence, current cycling) are the program's own.
    class WriteOrigin {
      public:
        WriteOrigin(DeviceSession &session, const QString &origin)
            : session_(session), saved_(session.write_origin_) {
            session.write_origin_ = origin;
        }
        ~WriteOrigin() { session_.write_origin_ = saved_; }
        WriteOrigin(const WriteOrigin &) = delete;
        WriteOrigin &operator=(const WriteOrigin &) = delete;

      private:
        DeviceSession &session_;
        QString saved_;
    };

    // ---- Connection -----------------------------------------------------
    // Opens and initialises the adapter and the chip, or, when already
    // connected, stops the reconnect timer and re-reads everything. The
    // sequence ends at the first exchange the adapter does not answer; the
    // adapter is then closed and tried again later.
    void connect_adapter();
    // The reconnect timer's expiry. While no adapter is present it looks
    // every 500 ms (an opening attempt, no exchange) and tries the first one
    // that appears at once; an adapter that is present but silent is tried
    // again on the back-off, and only looked for in between. An adapter
    // without firmware is kept open in its bootloader and only checked for
    // still being there.
    void reconnect_due();
    // The adapter answers from its bootloader but has no firmware to start.
    bool adapter_without_firmware() const { return no_firmware_; }
    // After an update of the adapter's firmware: an adapter that had none is
    // connected now.
    void firmware_updated();

    // ---- Registers ------------------------------------------------------
    // The byte at `address`, or -1 on failure or without adapter.
    int register_read(uint8_t address);
    // 1 on success, 0 on failure, -1 without adapter. A write the chip took
    // on page 0 goes into RegisterCache.
    int register_write(uint8_t address, uint8_t data);
    // Writes `data` to consecutive registers from `first` in one transfer
    // (the adapter splits it into exchanges of 52 bytes). Results and
    // failure classification as register_write; on page 0 the bytes go into
    // RegisterCache.
    int write_block(uint8_t first, std::span<const uint8_t> data);
    // Block read into `buffer`, which is left untouched on failure: `length`
    // on success, -1 on failure or without adapter.
    int read_registers(uint8_t first, unsigned length, uint8_t *buffer);
    // Selects page n (7 or more: page 0). 1 when the chip took it, else -1.
    int switch_page(uint8_t page);
    // Unlocks access level 0..4 (above 4 as 4) with the chip's mode key and
    // restores the page. The level applied, or -1 when the page register
    // could not be read or the level is negative.
    int set_access_mode(int level);

    // Selects page 0 for its lifetime, then restores the page that was
    // selected before (page 0 when it could not be read).
    class PageGuard {
      public:
        explicit PageGuard(DeviceSession &session);
        ~PageGuard();
        PageGuard(const PageGuard &) = delete;
        PageGuard &operator=(const PageGuard &) = delete;

      private:
        DeviceSession &session_;
        int saved_;
    };

    // Read-modify-write in two steps, so that a caller can log between
    // them: merge_live selects page 0 (and leaves it selected), re-reads the
    // register (0xFF when that fails), replaces the bits of `mask` by
    // `bits` in RegisterCache and returns the byte; write_cached writes the
    // cached byte (register_write's result).
    uint8_t merge_live(uint8_t reg, uint8_t mask, uint8_t bits);
    int write_cached(uint8_t reg);
    // Re-reads all 256 registers on page 0 and polls ("Read Registers").
    void read_all();
    // Writes the cached bytes of `regs` in order on page 0; stops at the
    // first write after which the chip is not ready. Refused (false, a line
    // in the command log) while RegisterCache was not read from the chip.
    bool write_registers(std::span<const uint8_t> regs);
    // Clears every flag of R_FLAGS_0 (but TEMP) and R_FLAGS_1.
    void clear_flags();

    // ---- Bus and address ------------------------------------------------
    // Moves all chip traffic to a 7-bit address and logs it.
    void set_i2c_address(uint8_t address);
    // 0 system bus, 1 Ventra bus: stores the choice and moves the chip bus.
    // The result of sw_i2c_set_pins, -1 for another bus or without adapter.
    int select_i2c_bus(int bus);
    // Bus speed selector index: 0 Fast, 1 Fast++, 2 High-Speed.
    void set_bus_speed(int index);
    // Probes the board temperature sensor, then restores bus and address.
    void probe_board_sensor();

    // ---- Pins -----------------------------------------------------------
    // Live level (0 or 1), -1 on failure, without adapter or for a pin
    // outside 0..31.
    int read_pin_level(int group, int pin);
    // The last poll's level for the polled pins, a live read for the others;
    // 0 while not connected.
    int pin_level(int group, int pin);
    // Drives a pin, then polls. 1 on success, -1 on failure/no adapter.
    int write_pin(int group, int pin, int level);
    // The main window's pin boxes: write_pin, and when the box is "Assert
    // VIOSYS" being ticked, the chip's power-up routine (board sensor,
    // access level "advanced", every register read). The console's pin
    // writes are plain pin writes.
    int write_box_pin(int group, int pin, int level, bool checked);
    // A 10 ms pulse: the active level, then back.
    void pulse_pin(int group, int pin, int active_level);

    // ---- Status ---------------------------------------------------------
    // One status poll: runs the status script, classifies the outcome and
    // emits polled.
    void poll();
    // "Poll Status": polls every 150 ms while on.
    void set_polling(bool on);
    // Polls when polling is on and the last poll is a poll interval ago: a
    // long command calls it while it waits, so the chip stays watched.
    void poll_if_due();
    // While on, every poll moves the load-current source on to the next
    // buck (then the total), so that all currents are measured in turn;
    // switching it off selects the source that was selected before. Each
    // conversion raises I_LOAD_READY: while cycling, that flag is masked
    // from the interrupt line and cleared after each poll; after switching
    // off, the next poll puts the mask back as the user had it and leaves
    // the flag as it was before cycling started.
    void set_current_cycling(bool on);
    bool current_cycling() const { return cycle_saved_source_ >= 0; }
    // A register image as the user set the chip up: while the measurement
    // masks I_LOAD_READY, the user's own mask bit.
    void as_user_set(std::array<uint8_t, 256> &image) const;
    // A rise of NRST with VIOSYS up launches the bucks' power-up: from it
    // the session polls as fast as the adapter answers for
    // PowerUpRecord::kBurstMs, times each buck's power good and reports
    // the record (power_up_measured) at the start, at each edge and at the
    // end; the 150 ms poll goes on meanwhile. power_up_step is one of those
    // polls (the burst's timer calls it).
    void power_up_step();
    bool watching_power_up() const { return power_up_zero_us_ >= 0; }
    // The clock of those timings, in microseconds; tests may set one.
    void set_power_up_clock(std::function<int64_t()> us) { power_up_clock_ = std::move(us); }
    // A converter reading of the last poll, a * raw * b / 2^shift; 0.0 while
    // the chip is not ready or for a pair the status script does not read.
    double adc_read(int unit, int channel, double a, int shift, double b) const {
        return snap_.adc_read(unit, channel, a, shift, b);
    }

  signals:
    // The whole state, emitted before each of the signals below that
    // changes what a window shows.
    void published(const evalpanel::SessionSnapshot &snapshot);
    void connection_changed(int state);
    // After every poll; fresh when the chip answered it.
    void polled(bool fresh);
    // RegisterCache or its validity changed as a whole.
    void registers_changed();
    // Some bytes of RegisterCache changed (a write, a merge, a pending change).
    void cache_changed();
    // A line for the command log.
    void log_line(const QString &line);
    void power_up_measured(const evalpanel::PowerUpRecord &record);
    // A register the chip took, "R_VSET_B0 = 0x20" (with "page N: " before
    // it off page 0), under the origin that wrote it.
    void chip_written(const QString &origin, const QString &line);
    void address_changed(uint8_t address);
    void bus_changed(int bus);
    void polling_changed(bool on);
    // open_failure() changed.
    void open_failure_changed(const QString &reason);

  private:
    // Milliseconds of the monotonic clock: attempts and polls are timed by it.
    static int64_t steady_ms();
    void publish();
    void set_state(int state);
    void adapter_lost();
    void schedule_reconnect();
    void set_open_failure(const QString &reason);
    bool sequence_failed() const { return !have_adapter(); }
    // A step of the connection sequence: false (and the adapter closed, the
    // outage said once) when the adapter did not answer it.
    bool adapter_answered(int result);
    void not_acknowledged(bool from_poll);
    void answered();
    bool transfer_failed(int result, bool read, bool from_poll = false);
    void reload_status_script();
    void configure_adapter_pins();
    bool read_cache();
    void set_registers_valid(bool valid);
    void bring_up();
    void track_supply(int level);
    void enter_no_firmware();
    void note_open_result();
    void note_written(uint8_t address, uint8_t data);
    void note_polled_registers();
    void cycle_current_source();
    // A write the program makes for its measurement: a change kept for
    // "Write Registers" in the same register stays kept.
    void measurement_write(uint8_t address, uint8_t data);
    void clear_load_ready_flag();
    void finish_current_cycling();
    bool apply_measurement_mask();
    // One status poll; a quiet one (inside a power-up burst) publishes
    // only what is not a plain fresh reading, and moves no current source.
    void run_poll(bool quiet);
    // The polled pins' edges and the bucks' power good, at `at_us`.
    void note_pins(int64_t at_us);
    void note_power_good(int64_t at_us);
    void end_power_up(const QString &reason);

    BridgeHandle handle_ = BRIDGEIO_INVALID_HANDLE;
    // The state the windows are shown; adapter_open and cycling_currents are
    // filled in when a copy is taken.
    SessionSnapshot snap_;
    int speed_a_ = 0;
    int speed_b_ = 0;
    int page_ = 0; // the page last selected through this session
    // Polls the chip did not answer since it last did.
    int failed_polls_ = 0;
    // VIOSYS as the last poll saw it: -1 unknown, else 0 or 1.
    int supply_level_ = -1;
    // The supply rose and no register was written since: the next full read
    // is the chip's power-on state.
    bool power_on_due_ = false;
    // Polling was on when the adapter was lost: it resumes when it is back.
    bool resume_polling_ = false;
    // The source selected before cycling started; -1 while not cycling.
    int cycle_saved_source_ = -1;
    // The user's MASK_ILOAD_READY, once the measurement's mask is in the
    // chip, and whether I_LOAD_READY was raised when cycling started.
    bool cycle_mask_applied_ = false;
    bool cycle_mask_recheck_ = false; // the adapter was opened again meanwhile
    bool cycle_saved_mask_ = false;
    bool cycle_flag_was_raised_ = false;
    // Cycling stopped: the next poll clears the flag and restores the mask.
    bool cycle_finish_due_ = false;
    std::array<uint8_t, rx5120::kStatusScriptSize> script_ = rx5120::kStatusScriptImage;
    QTimer *poll_timer_ = nullptr;
    QTimer *burst_timer_ = nullptr;
    std::function<int64_t()> power_up_clock_;
    PowerUpRecord power_up_;
    int64_t power_up_zero_us_ = -1; // the NRST rise being watched; -1 none
    int64_t last_sample_us_ = -1;   // the burst's poll before
    // The polled pins at the last poll that read them (-1 unknown), when
    // each last rose (-1 not high), and when the program drove one high
    // just before the poll (-1 not).
    std::array<int, 3> pin_last_{-1, -1, -1};
    std::array<int64_t, 3> pin_rise_us_{-1, -1, -1};
    std::array<int64_t, 3> pin_driven_us_{-1, -1, -1};
    QTimer *reconnect_timer_ = nullptr;
    int reconnect_interval_ = kReconnectIntervalMs;
    // When the last connection attempt started (steady clock, ms).
    int64_t attempt_started_ms_ = 0;
    int64_t last_poll_ms_ = 0;
    // An opened adapter did not answer: said once until one answers again.
    bool silent_ = false;
    // The next full connection attempt is due (steady clock, ms); until
    // then the reconnect timer only looks whether an adapter is present.
    int64_t attempt_due_ms_ = 0;
    // The open adapter answers from its bootloader but has no firmware.
    bool no_firmware_ = false;
    std::function<void(BridgeHandle)> firmware_check_;
    QString write_origin_;
    std::shared_ptr<ViewPacing> pacing_ = std::make_shared<ViewPacing>();
    QString open_result_;
    QString adapter_description_;
};

// Field reads and writes through a session: a definition line of the
// register table turned into register traffic.
//
// The field's or register's value read from the chip, or -1 (read failure,
// malformed location, or a line that is neither lreg nor a complete hwreg).
int64_t get_reg_value(DeviceSession &session, const char *line);
// Writes a value: a field by read-modify-write of each of its registers, a
// whole register directly. 1 on success, -1 on failure.
int set_reg_value(DeviceSession &session, const char *line, uint32_t value);
// Bits covered by the location from `location` on; with a destination those
// bits are read (last segment first) and ORed into it. -1 on a failed read
// or a malformed segment.
int sweep_rd(DeviceSession &session, const char *location, uint32_t *dest);
// Writes the matching bits of `value` by read-modify-write, last segment
// first. -1 on a failed read or a malformed location (nothing written).
int sweep_wr(DeviceSession &session, const char *location, uint32_t value);

} // namespace evalpanel
