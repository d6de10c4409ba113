// The connection sequence, the status poll and what keeps RegisterCache
// truthful: it is valid only once read from a powered chip.
#include "device/device_session.h"

#include <QTimer>

#include <cmath>
#include <cstring>

#include "chip/byte_order.h"
#include "device/status_decode.h"
#include "device/device_trace.h"

namespace evalpanel {

namespace {

constexpr uint8_t kOutputConfig[4] = {0, 0, 1, 0};
constexpr uint8_t kInputConfig[4] = {0, 0, 0, 1};
constexpr uint8_t kIdleConfig[4] = {0, 0, 0, 0};
// The status word of a reply the adapter failed on its side.
constexpr uint32_t kAdapterFailedStatus = 0xFFFFFFFFu;

} // namespace

void DeviceSession::configure_adapter_pins() {
    namespace pin = rx5120::pin;
    // Each step is an exchange: the first one the adapter does not answer
    // ends the sequence (the adapter is then closed).
    const auto step = [this](int result) { return have_adapter() && adapter_answered(result); };
    const auto config = [&](int p, const uint8_t (&c)[4]) {
        return step(pin_config(handle_, pin::kGroupA, p, c[0], c[1], c[2], c[3]));
    };
    config(pin::kAux3, kOutputConfig) && step(pin_set(handle_, pin::kGroupA, pin::kAux3, 1)) &&
        config(pin::kAux15, kOutputConfig) &&
        step(pin_set(handle_, pin::kGroupA, pin::kAux15, 1)) &&
        config(pin::kInterrupt, kInputConfig) && config(pin::kVioSys, kOutputConfig) &&
        config(pin::kNrst, kOutputConfig) && config(pin::kNslp, kOutputConfig) &&
        config(pin::kAddressSel, kIdleConfig);
}

void DeviceSession::set_registers_valid(bool valid) {
    if (valid == snap_.registers_valid)
        return;
    snap_.registers_valid = valid;
    publish();
    emit registers_changed();
}

bool DeviceSession::read_cache() {
    if (read_registers(0, 256, snap_.registers.data()) < 0)
        return false;
    snap_.chip = snap_.registers;
    snap_.registers_valid = true;
    publish();
    emit registers_changed();
    return true;
}

void DeviceSession::connect_adapter() {
    if (snap_.state > kNotConnected) {
        // Already open: the reconnect timer's first expiry after an open,
        // or a plain refresh.
        reconnect_timer_->stop();
        read_cache();
        poll();
        return;
    }

    qCDebug(lcDevice, "init_hardware()");
    // This is the attempt a pending expiry would have made.
    reconnect_timer_->stop();
    attempt_started_ms_ = steady_ms();
    // A handle left from before the adapter was lost is closed before the
    // next one is opened, so that reconnecting leaks nothing.
    if (handle_ != BRIDGEIO_INVALID_HANDLE)
        usb_hid_close(handle_);
    handle_ = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    adapter_description_.clear();
    // Unplugged: a silent adapter plugged in later is a new outage.
    if (handle_ == BRIDGEIO_INVALID_HANDLE)
        silent_ = false;
    note_open_result();
    if (handle_ == BRIDGEIO_INVALID_HANDLE) {
        qCDebug(lcDevice, "usb_hid_init() failed.");
        set_state(kNotConnected);
        schedule_reconnect();
        return;
    }

    // Every exchange of the sequence is checked: an adapter that is plugged
    // in but does not answer would otherwise cost a read time-out per step.
    char bootloader_version[16] = {};
    if (!adapter_answered(return_to_bootloader(handle_)) ||
        !adapter_answered(get_bootloader_version(handle_, bootloader_version)))
        return;
    if (firmware_check_)
        firmware_check_(handle_);
    if (!have_adapter() || !adapter_answered(start_firmware(handle_)))
        return;
    // Which adapter this is, once per connection.
    char opened[256] = {};
    last_open_result(opened, sizeof opened);
    char firmware_version[16] = {};
    if (!adapter_answered(get_firmware_version(handle_, firmware_version)))
        return;
    QString path = QString::fromLocal8Bit(opened);
    if (path.startsWith(QLatin1String("opened ")))
        path.remove(0, 7);
    adapter_description_ = QStringLiteral("%1, bootloader %2, firmware %3")
                               .arg(path, QString::fromLatin1(bootloader_version),
                                    QString::fromLatin1(firmware_version));
    emit log_line(QStringLiteral("Adapter %1, bootloader %2, firmware %3.")
                      .arg(QString::fromLocal8Bit(opened), QString::fromLatin1(bootloader_version),
                           QString::fromLatin1(firmware_version)));

    if (!adapter_answered(load_script(handle_, script_.data(), 0, rx5120::kStatusScriptSize)))
        return;
    configure_adapter_pins();
    if (sequence_failed())
        return;
    // The sequence starts from a known page; the supply is learnt anew.
    page_ = 0;
    supply_level_ = -1;

    if (!adapter_answered(select_i2c_bus(0)))
        return;
    probe_board_sensor();
    if (sequence_failed())
        return;
    // The chip may be unpowered and not acknowledge: only a lost adapter
    // ends the sequence here.
    switch_page(0);
    set_access_mode(1);
    if (sequence_failed())
        return;
    if (!adapter_answered(init_adc(handle_, 0)) || !adapter_answered(init_adc(handle_, 1)))
        return;

    read_cache();
    if (sequence_failed())
        return;
    // The adapter answers: the outage, if there was one, is over.
    reconnect_interval_ = kReconnectIntervalMs;
    if (silent_) {
        silent_ = false;
        set_open_failure(QString());
    }
    poll();
    if (resume_polling_ && have_adapter())
        set_polling(true);
}

bool DeviceSession::adapter_answered(int result) {
    if (result != -1)
        return true;
    qCDebug(lcDevice, "the adapter does not answer; closing it.");
    adapter_lost();
    if (!silent_) {
        silent_ = true;
        emit log_line(QString::fromLatin1(kAdapterSilentText));
    }
    set_open_failure(QString::fromLatin1(kAdapterSilentText));
    return false;
}

void DeviceSession::set_open_failure(const QString &reason) {
    if (reason == snap_.open_failure)
        return;
    snap_.open_failure = reason;
    publish();
    emit open_failure_changed(reason);
}

void DeviceSession::note_open_result() {
    // A matching adapter that cannot be opened is said once per change of
    // the reason; no adapter at all keeps the plain "not found" texts.
    char text[512] = {};
    const int result = last_open_result(text, sizeof text);
    open_result_ = QString::fromLocal8Bit(text);
    const QString reason =
        result < 0 ? QString::fromLocal8Bit(text) +
                         QStringLiteral(" (see the README, section \"Adapter access\")")
                   : QString();
    // An adapter that opens but stays silent keeps its message until it
    // answers.
    if (reason.isEmpty() && silent_)
        return;
    if (reason == snap_.open_failure)
        return;
    if (!reason.isEmpty())
        emit log_line(reason);
    set_open_failure(reason);
}

void DeviceSession::read_all() {
    qCDebug(lcDevice, "on_read_registers_clicked() : connstatus=%d", snap_.state);
    PageGuard page(*this);
    read_cache();
    poll();
}

void DeviceSession::bring_up() {
    // The chip has just been powered: find the board sensor (powered with
    // it), open the advanced level and read the fresh registers.
    qCDebug(lcDevice, "VIOSYS goes up!");
    probe_board_sensor();
    set_access_mode(1);
    read_all();
    if (snap_.registers_valid) {
        snap_.power_on = snap_.chip;
        snap_.power_on_valid = true;
        publish();
        emit registers_changed();
    }
}

void DeviceSession::track_supply(int level) {
    const int before = supply_level_;
    supply_level_ = level;
    if (before == 1 && level == 0) {
        // Without supply the chip forgets its registers.
        set_registers_valid(false);
    } else if (before == 0 && level == 1) {
        bring_up_due_ = true;
    }
}

void DeviceSession::poll() {
    qCDebug(lcDevice, "timer_func()");
    last_poll_ms_ = steady_ms();
    ResultBlock block = snap_.status;
    bool no_data = false;
    // Without an adapter the run counts as one on a vanished adapter.
    const int result = have_adapter() ? execute_script(handle_, 0, block.data()) : -1;
    snap_.status_fresh = false;
    switch (classify_script_result(result)) {
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
        if (!no_data)
            track_supply(snap_.status[rx5120::result::kVioSysLevel]);
        // The status script ends on page 0; the page the user selected is
        // selected again, so that a write by address still reaches it.
        if (page_ != 0 && snap_.status_fresh)
            register_write(rx5120::reg::kPage, static_cast<uint8_t>(page_));
    }
    if (snap_.status_fresh && current_cycling())
        cycle_current_source();
    publish();
    emit polled(snap_.status_fresh);
    if (bring_up_due_) {
        bring_up_due_ = false;
        bring_up();
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

void DeviceSession::set_current_cycling(bool on) {
    if (on == current_cycling())
        return;
    if (on) {
        cycle_saved_source_ = snap_.chip[rx5120::reg::kSelILoad] & 0x07;
    } else {
        const auto saved = static_cast<uint8_t>(cycle_saved_source_);
        cycle_saved_source_ = -1;
        if (snap_.registers_valid) {
            PageGuard page(*this);
            register_write(rx5120::reg::kSelILoad,
                           static_cast<uint8_t>((snap_.chip[rx5120::reg::kSelILoad] & 0xF8) | saved));
        }
    }
    publish();
    emit cache_changed();
}

void DeviceSession::cycle_current_source() {
    // Buck0..Buck5, then the total (6), then Buck0 again. The chip converts
    // within a millisecond, well before the next poll reads it.
    const uint8_t now = snap_.chip[rx5120::reg::kSelILoad];
    const int next = ((now & 0x07) + 1) % (kBuckCount + 1);
    if (page_ == 0)
        register_write(rx5120::reg::kSelILoad, static_cast<uint8_t>((now & 0xF8) | next));
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
    if (snap_.polling && have_adapter() && steady_ms() - last_poll_ms_ >= kPollIntervalMs)
        poll();
}

} // namespace evalpanel
