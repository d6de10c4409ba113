// The status poll, the chip's bring-up from the "Assert VIOSYS" box, and what keeps
// RegisterCache truthful: it is valid only once read from a powered chip.
#include "device/device_session.h"

#include <QDateTime>
#include <QTimer>

#include <cmath>
#include <cstring>

#include "chip/byte_order.h"
#include "device/status_decode.h"
#include "device/device_trace.h"

namespace evalpanel {

namespace {

// The status word of a reply the adapter failed on its side.
constexpr uint32_t kAdapterFailedStatus = 0xFFFFFFFFu;

} // namespace

void DeviceSession::bring_up() {
    // The chip has just been powered: find the board sensor (powered with
    // it), open the advanced level and read the fresh registers.
    qCDebug(lcDevice, "VIOSYS goes up!");
    probe_board_sensor();
    // Unlocking writes the key, which is not a change of the power-on state.
    const bool due = power_on_due_;
    set_access_mode(1);
    power_on_due_ = due;
    read_all();
}

int DeviceSession::write_box_pin(int group, int pin, int level, bool checked) {
    const int result = write_pin(group, pin, level);
    if (result == 1 && checked && group == rx5120::pin::kGroupA && pin == rx5120::pin::kVioSys)
        bring_up();
    return result;
}

void DeviceSession::track_supply(int level) {
    const int before = supply_level_;
    supply_level_ = level;
    if (before != level && before >= 0 && level >= 0)
        emit log_line(level == 1 ? QStringLiteral("Chip powered (VIOSYS high).")
                                 : QStringLiteral("Chip not powered (VIOSYS low)."));
    if (before == 1 && level == 0) {
        // Without supply the chip forgets its registers (the measurement's
        // mask among them).
        set_registers_valid(false);
        cycle_mask_applied_ = false;
        power_on_due_ = false;
    } else if (before == 0 && level == 1) {
        // Whoever powered it (a box, a script, the bench), the first full
        // read before any write is the power-on state.
        power_on_due_ = true;
    }
}

void DeviceSession::poll() {
    run_poll(false);
}

void DeviceSession::run_poll(bool quiet) {
    // The burst's quiet polls, thousands a second, stay out of the trace.
    if (!quiet) {
        qCDebug(lcDevice, "timer_func()");
        last_poll_ms_ = steady_ms();
    }
    const int64_t started_us = power_up_clock_();
    // What the poll writes (its page, the next current source) is the
    // program's own, also when it runs inside a console command's wait.
    const WriteOrigin own(*this, QString());
    ResultBlock block = snap_.status;
    bool no_data = false;
    // Without an adapter the run counts as one on a vanished adapter.
    const int result = have_adapter() ? execute_script(handle_, 0, block.data()) : -1;
    // The adapter reads pins and states during the run: its middle is when.
    const int64_t at_us = (started_us + power_up_clock_()) / 2;
    const int state_before = snap_.state;
    snap_.status_fresh = false;
    const PollOutcome outcome = classify_script_result(result);
    switch (outcome) {
    case PollOutcome::Ok:
        answered();
        snap_.status = block;
        snap_.status_fresh = true;
        note_polled_registers();
        break;
    case PollOutcome::AdapterLost:
        qCDebug(lcDevice, "read failed, retval = 0x%08x", static_cast<unsigned>(result));
        adapter_lost();
        break;
    case PollOutcome::Nack:
        qCDebug(lcDevice, "read failed, retval = 0x%08x", static_cast<unsigned>(result));
        // The adapter's "failed" status word: it ran nothing (in its
        // bootloader, or refusing the command) and the block holds no
        // reading at all. The last pin levels and flags stand.
        no_data = rx5120::get_le32(obuffer) == kAdapterFailedStatus;
        // Otherwise the adapter's own pin levels are fresh even when the
        // chip is silent: a pin just driven shows its new level.
        if (!no_data)
            std::copy_n(block.begin() + rx5120::result::kPinLevels, rx5120::kPolledPinCount,
                        snap_.status.begin() + rx5120::result::kPinLevels);
        if (snap_.sensor_present) {
            not_acknowledged(true);
        } else if (register_read(rx5120::reg::kChipId) >= 0) {
            // No sensor to blame but the chip answers: the failed step was
            // the sensor's, and the chip's readings of this run are good.
            snap_.status = block;
            snap_.status_fresh = true;
            note_polled_registers();
        } else if (snap_.state == kNotAcknowledged) {
            ++failed_polls_;
        }
        break;
    }
    if (snap_.state != kNotConnected) {
        // Only a level the adapter read can power the chip up or down.
        if (!no_data) {
            track_supply(snap_.status[rx5120::result::kVioSysLevel]);
            note_pins(at_us);
        }
        // The status script ends on page 0; the page the user selected is
        // selected again, so that a write by address still reaches it.
        if (page_ != 0 && snap_.status_fresh)
            register_write(rx5120::reg::kPage, static_cast<uint8_t>(page_));
    }
    if (snap_.status_fresh)
        note_power_good(at_us);
    if (quiet && outcome == PollOutcome::Ok && snap_.state == state_before)
        return;
    if (snap_.status_fresh && current_cycling())
        cycle_current_source();
    else if (snap_.status_fresh && cycle_finish_due_)
        finish_current_cycling();
    publish();
    emit polled(snap_.status_fresh);
}

namespace {

// Pins of the power-up, as indices into the polled pins after the
// interrupt line.
constexpr size_t kVioSysPin = 0, kNrstPin = 1, kNslpPin = 2;

// A buck past its soft start: PWM, PFM or ECO, alone or as a group.
bool power_good(int state) {
    return state >= 4 && state <= 12;
}

double ms_between(int64_t from_us, int64_t to_us) {
    return static_cast<double>(to_us - from_us) / 1000.0;
}

} // namespace

void DeviceSession::note_pins(int64_t at_us) {
    std::array<int, 3> level{};
    std::array<bool, 3> rose{};
    for (size_t i = 0; i < level.size(); ++i) {
        level[i] = snap_.status[static_cast<size_t>(rx5120::result::kPinLevels) + i + 1] != 0;
        rose[i] = pin_last_[i] == 0 && level[i] == 1;
        if (rose[i])
            pin_rise_us_[i] = pin_driven_us_[i] >= 0 ? pin_driven_us_[i] : at_us;
        else if (level[i] == 0)
            pin_rise_us_[i] = -1;
        pin_last_[i] = level[i];
        pin_driven_us_[i] = -1;
    }
    if (watching_power_up()) {
        if (level[kVioSysPin] == 0 || level[kNrstPin] == 0) {
            if (level[kNrstPin] == 0)
                power_up_.nrst_fell_ms = ms_between(power_up_zero_us_, at_us);
            end_power_up(level[kVioSysPin] == 0 ? QStringLiteral("VIOSYS fell")
                                                : QStringLiteral("NRST fell"));
        } else if (rose[kNslpPin]) {
            power_up_.nslp_ms = ms_between(power_up_zero_us_, pin_rise_us_[kNslpPin]);
            emit power_up_measured(power_up_);
        }
    }
    // NRST rising with the supply up launches the sequence, and so does
    // the supply rising with NRST high. The plan is what the chip holds now.
    const bool by_nrst = rose[kNrstPin] && level[kVioSysPin] == 1;
    const bool by_supply = !by_nrst && rose[kVioSysPin] && level[kNrstPin] == 1;
    if (!by_nrst && !by_supply)
        return;
    const int64_t zero = pin_rise_us_[by_nrst ? kNrstPin : kVioSysPin];
    power_up_ = PowerUpRecord{};
    power_up_.nrst_high_before = by_supply;
    power_up_.wall_ms = QDateTime::currentMSecsSinceEpoch() -
                        static_cast<int64_t>(ms_between(zero, power_up_clock_()));
    power_up_.registers_valid = snap_.registers_valid;
    power_up_.registers = snap_.chip;
    if (by_nrst && pin_rise_us_[kVioSysPin] >= 0)
        power_up_.viosys_ms = ms_between(zero, pin_rise_us_[kVioSysPin]);
    if (pin_rise_us_[kNslpPin] >= 0)
        power_up_.nslp_ms = ms_between(zero, pin_rise_us_[kNslpPin]);
    power_up_zero_us_ = zero;
    last_sample_us_ = zero;
    burst_timer_->start(0);
    emit power_up_measured(power_up_);
}

void DeviceSession::note_power_good(int64_t at_us) {
    if (!watching_power_up())
        return;
    bool edge = false;
    // A group's phases regulate with their master (a shed phase idles).
    const int configuration = multiphase_configuration(snap_.status);
    for (int k = 0; k < kBuckCount; ++k) {
        auto &seen = power_up_.power_good_ms[static_cast<size_t>(k)];
        if (seen || !power_good(mode_state(snap_.status, multiphase_master(configuration, k))))
            continue;
        seen = ms_between(power_up_zero_us_, at_us);
        power_up_.resolution_ms[static_cast<size_t>(k)] = ms_between(last_sample_us_, at_us);
        edge = true;
    }
    last_sample_us_ = at_us;
    ++power_up_.polls;
    power_up_.watched_ms = ms_between(power_up_zero_us_, at_us);
    if (edge)
        emit power_up_measured(power_up_);
}

void DeviceSession::power_up_step() {
    if (!watching_power_up()) {
        burst_timer_->stop();
        return;
    }
    if (!have_adapter()) {
        end_power_up(QStringLiteral("adapter lost"));
        return;
    }
    if (ms_between(power_up_zero_us_, power_up_clock_()) >= PowerUpRecord::kBurstMs) {
        end_power_up(QString());
        return;
    }
    // The 150 ms poll keeps its pace (the windows and the telemetry follow
    // it); the polls in between only look.
    const bool due = snap_.polling && steady_ms() - last_poll_ms_ >= kPollIntervalMs;
    run_poll(!due);
}

void DeviceSession::end_power_up(const QString &reason) {
    burst_timer_->stop();
    if (!watching_power_up())
        return;
    power_up_.done = true;
    power_up_.end_reason = reason;
    power_up_zero_us_ = -1;
    emit power_up_measured(power_up_);
    // The windows show where the burst left the chip, also with polling off.
    if (reason.isEmpty()) {
        publish();
        emit polled(snap_.status_fresh);
    }
}

void DeviceSession::note_polled_registers() {
    namespace reg = rx5120::reg;
    namespace result = rx5120::result;
    const struct {
        uint8_t reg;
        int offset;
    } kPolled[] = {{reg::kFlags0, result::kFlags0},
                   {reg::kFlags1, result::kFlags1},
                   {reg::kSelILoad, result::kLoadCurrentSelect},
                   {reg::kLoadCurr, result::kLoadCurrentLow},
                   {reg::kMultiphase, result::kMultiphaseConfig}};
    for (const auto &p : kPolled) {
        // The poll read these registers: the chip's value is known anew,
        // and a change kept for "Write Registers" stays kept.
        const uint8_t polled = snap_.status[static_cast<size_t>(p.offset)];
        const uint8_t kept = snap_.registers[p.reg] ^ snap_.chip[p.reg];
        snap_.chip[p.reg] = polled;
        snap_.registers[p.reg] = static_cast<uint8_t>((polled & ~kept) | (snap_.registers[p.reg] & kept));
    }
}

namespace {
constexpr uint8_t kLoadReadyFlag = 0x20; // I_LOAD_READY in R_FLAGS_1
constexpr uint8_t kLoadReadyMask = 0x08; // MASK_ILOAD_READY in R_INT_MASK_2
} // namespace

void DeviceSession::measurement_write(uint8_t address, uint8_t data) {
    // The program's own writes are no one's configuration: not audited.
    const WriteOrigin none(*this, QString());
    const uint8_t kept = snap_.registers[address] ^ snap_.chip[address];
    const uint8_t before = snap_.registers[address];
    if (register_write(address, data) == 1)
        snap_.registers[address] = static_cast<uint8_t>((data & ~kept) | (before & kept));
}

void DeviceSession::clear_load_ready_flag() {
    // Writing 0 clears a flag, 1 leaves it: only I_LOAD_READY goes. The
    // byte written is no reading of the flags, so the known ones stay.
    const WriteOrigin none(*this, QString());
    const uint8_t flags = snap_.chip[rx5120::reg::kFlags1];
    if (register_write(rx5120::reg::kFlags1, static_cast<uint8_t>(~kLoadReadyFlag)) == 1) {
        snap_.chip[rx5120::reg::kFlags1] = static_cast<uint8_t>(flags & ~kLoadReadyFlag);
        snap_.registers[rx5120::reg::kFlags1] = snap_.chip[rx5120::reg::kFlags1];
    }
}

void DeviceSession::as_user_set(std::array<uint8_t, 256> &image) const {
    if (!cycle_mask_applied_)
        return;
    uint8_t &mask = image[rx5120::reg::kIntMask2];
    mask = static_cast<uint8_t>(cycle_saved_mask_ ? mask | kLoadReadyMask : mask & ~kLoadReadyMask);
}

bool DeviceSession::apply_measurement_mask() {
    // Once the chip answers (it may be unpowered or never read when cycling
    // starts): the user's mask, read live, then I_LOAD_READY kept from INT.
    if (cycle_mask_applied_ && !cycle_mask_recheck_)
        return true;
    const int mask = register_read(rx5120::reg::kIntMask2);
    if (mask < 0)
        return false;
    if (cycle_mask_applied_) {
        // After an outage: the chip may have lost the measurement's mask
        // (the user's is the one saved before).
        cycle_mask_recheck_ = false;
        if ((mask & kLoadReadyMask) == 0)
            measurement_write(rx5120::reg::kIntMask2, static_cast<uint8_t>(mask | kLoadReadyMask));
        return true;
    }
    cycle_saved_mask_ = (mask & kLoadReadyMask) != 0;
    if (!cycle_saved_mask_)
        measurement_write(rx5120::reg::kIntMask2, static_cast<uint8_t>(mask | kLoadReadyMask));
    cycle_mask_applied_ = true;
    return true;
}

void DeviceSession::set_current_cycling(bool on) {
    namespace reg = rx5120::reg;
    if (on == current_cycling())
        return;
    if (on) {
        // Started again before the last stop finished: the mask is still
        // the measurement's and the flag as it was then.
        if (!cycle_finish_due_)
            cycle_flag_was_raised_ = (snap_.chip[reg::kFlags1] & kLoadReadyFlag) != 0;
        cycle_finish_due_ = false;
        cycle_saved_source_ = snap_.chip[reg::kSelILoad] & 0x07;
        if (snap_.state == kConnected) {
            PageGuard page(*this);
            apply_measurement_mask();
        }
    } else {
        const auto saved = static_cast<uint8_t>(cycle_saved_source_);
        cycle_saved_source_ = -1;
        if (snap_.registers_valid) {
            PageGuard page(*this);
            measurement_write(reg::kSelILoad,
                              static_cast<uint8_t>((snap_.chip[reg::kSelILoad] & 0xF8) | saved));
        }
        // That selection converts too: its flag is cleared and the mask put
        // back at the next poll, when the conversion is done.
        cycle_finish_due_ = true;
    }
    publish();
    emit cache_changed();
}

void DeviceSession::finish_current_cycling() {
    namespace reg = rx5120::reg;
    cycle_finish_due_ = false;
    PageGuard page(*this);
    if (!cycle_flag_was_raised_ && (snap_.chip[reg::kFlags1] & kLoadReadyFlag) != 0)
        clear_load_ready_flag();
    if (cycle_mask_applied_ && !cycle_saved_mask_)
        measurement_write(reg::kIntMask2,
                          static_cast<uint8_t>(snap_.chip[reg::kIntMask2] & ~kLoadReadyMask));
    cycle_mask_applied_ = false;
}

void DeviceSession::cycle_current_source() {
    // Buck0..Buck5, then the total (6), then Buck0 again. The chip converts
    // within a millisecond, well before the next poll reads it; the flag
    // the conversion raised is cleared before the next one starts.
    namespace reg = rx5120::reg;
    if (page_ != 0)
        return;
    if (!apply_measurement_mask())
        return;
    if ((snap_.chip[reg::kFlags1] & kLoadReadyFlag) != 0 && !cycle_flag_was_raised_)
        clear_load_ready_flag();
    const uint8_t now = snap_.chip[reg::kSelILoad];
    const int next = ((now & 0x07) + 1) % (kBuckCount + 1);
    measurement_write(reg::kSelILoad, static_cast<uint8_t>((now & 0xF8) | next));
}

void DeviceSession::set_polling(bool on) {
    qCDebug(lcDevice, "on_pollstatus_clicked()");
    // The user's choice stands over polling that was on when the adapter
    // was lost.
    resume_polling_ = false;
    if (on)
        poll_timer_->start(kPollIntervalMs);
    else
        poll_timer_->stop();
    if (snap_.polling != on) {
        snap_.polling = on;
        publish();
        emit polling_changed(on);
    }
}

void DeviceSession::poll_if_due() {
    // A power-up being timed gets a poll at every call (a command's wait
    // calls it between its slices).
    if (watching_power_up()) {
        power_up_step();
        return;
    }
    if (snap_.polling && have_adapter() && steady_ms() - last_poll_ms_ >= kPollIntervalMs)
        poll();
}

} // namespace evalpanel
