// The connection sequence: the adapter opened and set up, the chip's
// registers read, and what the last attempt found.
#include "device/device_session.h"

#include <QTimer>

#include <algorithm>

#include "chip/byte_order.h"
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
    if (power_on_due_) {
        power_on_due_ = false;
        snap_.power_on = snap_.chip;
        snap_.power_on_valid = true;
    }
    publish();
    emit registers_changed();
    // A power-up launched by the supply itself (NRST already high) is timed
    // before the bring-up has read the chip: its first read is the plan.
    if (watching_power_up() && !power_up_.registers_valid) {
        power_up_.registers = snap_.chip;
        power_up_.registers_valid = true;
        emit power_up_measured(power_up_);
    }
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
    no_firmware_ = false;
    adapter_description_.clear();
    // Unplugged: a silent adapter plugged in later is a new outage, and
    // the next one is looked for without backing off.
    if (handle_ == BRIDGEIO_INVALID_HANDLE) {
        silent_ = false;
        reconnect_interval_ = kReconnectIntervalMs;
    }
    note_open_result();
    if (handle_ == BRIDGEIO_INVALID_HANDLE) {
        qCDebug(lcDevice, "usb_hid_init() failed.");
        set_state(kNotConnected);
        schedule_reconnect();
        // Nothing there to back off from: every expiry is an attempt.
        attempt_due_ms_ = 0;
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
    if (!have_adapter())
        return;
    const int started = start_firmware(handle_);
    // The adapter's failure status is an answer, not silence: a bootloader
    // with no firmware to start. Retrying would only run the check again.
    if (started == -1 && have_adapter() && rx5120::get_le32(obuffer) == kAdapterFailedStatus) {
        enter_no_firmware();
        return;
    }
    if (!adapter_answered(started))
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
    cycle_mask_recheck_ = true;

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

void DeviceSession::enter_no_firmware() {
    qCDebug(lcDevice, "the adapter has no firmware to start.");
    no_firmware_ = true;
    silent_ = false;
    reconnect_timer_->stop();
    const QString text = QString::fromUtf8(kAdapterNoFirmwareText);
    if (snap_.open_failure != text)
        log(text);
    set_open_failure(text);
    set_state(kNotConnected);
    // Kept open in its bootloader for Update Firmware, and looked at now
    // and then: unplugged, it is a new adapter when it comes back.
    reconnect_timer_->start(kReconnectMaxIntervalMs);
}

void DeviceSession::firmware_updated() {
    if (!no_firmware_)
        return;
    // The update started the new firmware: connect from the beginning (the
    // sequence closes the bootloader's handle first).
    set_open_failure(QString());
    connect_adapter();
}

void DeviceSession::reconnect_due() {
    if (no_firmware_) {
        char version[16] = {};
        if (get_bootloader_version(handle_, version) != -1) {
            reconnect_timer_->start(kReconnectMaxIntervalMs);
            return;
        }
        // Gone: whatever comes back is a new adapter.
        set_open_failure(QString());
        connect_adapter();
        return;
    }
    const int64_t wait = attempt_due_ms_ - steady_ms();
    if (wait <= 0 || snap_.state != kNotConnected) {
        connect_adapter();
        return;
    }
    // Backing off from a silent adapter: only look whether it is still
    // there. Gone, the next one is tried as soon as it appears.
    const BridgeHandle probe = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    if (probe == BRIDGEIO_INVALID_HANDLE) {
        reconnect_interval_ = kReconnectIntervalMs;
        attempt_due_ms_ = 0;
        reconnect_timer_->start(kReconnectIntervalMs);
        return;
    }
    usb_hid_close(probe);
    reconnect_timer_->start(static_cast<int>(std::min<int64_t>(wait, kReconnectIntervalMs)));
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

namespace {

// What the library's messages call the adapter's choice, as the user made it.
QString &adapter_choice_name() {
    static QString name;
    return name;
}

} // namespace

void DeviceSession::name_adapter_choice(const QString &name) { adapter_choice_name() = name; }

void DeviceSession::note_open_result() {
    // A matching adapter that cannot be opened is said once per change of
    // the reason; no adapter at all keeps the plain "not found" texts.
    char text[512] = {};
    const int result = last_open_result(text, sizeof text);
    open_result_ = QString::fromLocal8Bit(text);
    static const QLatin1String kVariable("BRIDGEIO_ADAPTER ");
    if (!adapter_choice_name().isEmpty() && open_result_.startsWith(kVariable))
        open_result_.replace(0, kVariable.size() - 1, adapter_choice_name());
    const QString reason =
        result < 0 ? open_result_ +
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

} // namespace evalpanel
