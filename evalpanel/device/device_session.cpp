// Register and pin access, failure classification, bus, address and speed.
#include "device/device_session.h"

#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "device/device_trace.h"
#include "registers/register_map.h"

namespace evalpanel {

namespace {

// A read failed when any of bits 20..27 is set, a write when any of the top
// eight bits is: -1 (no answer) and -4 (no acknowledge) fail under both, the
// byte counts of good transfers under neither.
bool read_failed(int result) {
    return (static_cast<uint32_t>(result) & 0x0FF00000u) != 0;
}
bool write_failed(int result) {
    return (static_cast<uint32_t>(result) & 0xFF000000u) != 0;
}

constexpr int kPulseMs = 10;

} // namespace

int64_t DeviceSession::steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int SessionSnapshot::pin_level(int group, int pin) const {
    if (state == kNotConnected || group != rx5120::pin::kGroupA)
        return 0;
    for (int i = 0; i < rx5120::kPolledPinCount; ++i)
        if (rx5120::kPolledPins[i] == pin)
            return status[rx5120::result::kPinLevels + i];
    return 0;
}

double SessionSnapshot::adc_read(int unit, int channel, double a, int shift, double b) const {
    if (state != kConnected)
        return 0.0;
    return converter_reading(status, unit, channel, a, shift, b);
}

DeviceSession::DeviceSession(QObject *parent) : QObject(parent) {
    poll_timer_ = new QTimer(this);
    reconnect_timer_ = new QTimer(this);
    reconnect_timer_->setSingleShot(true);
    connect(poll_timer_, &QTimer::timeout, this, &DeviceSession::poll);
    connect(reconnect_timer_, &QTimer::timeout, this, &DeviceSession::reconnect_due);
    burst_timer_ = new QTimer(this);
    connect(burst_timer_, &QTimer::timeout, this, &DeviceSession::power_up_step);
    power_up_clock_ = [] {
        using namespace std::chrono;
        return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
    };
}

DeviceSession::~DeviceSession() {
    // An adapter without firmware is open too, though not in use.
    if (handle_ != BRIDGEIO_INVALID_HANDLE && handle_ != nullptr)
        usb_hid_close(handle_);
}

SessionSnapshot DeviceSession::snapshot() const {
    SessionSnapshot s = snap_;
    s.adapter_open = have_adapter();
    s.cycling_currents = current_cycling();
    return s;
}

void DeviceSession::publish() {
    if (pacing_->on) {
        // Only a view on another thread can fall behind; on its own thread
        // it takes each snapshot before this returns.
        for (int waited = 0;
             pacing_->unseen >= ViewPacing::kMaxUnseen && waited < ViewPacing::kMaxPaceMs; ++waited)
            QThread::msleep(1);
        ++pacing_->unseen;
    }
    emit published(snapshot());
}

bool DeviceSession::have_adapter() const {
    // An adapter without firmware is open for its update only: nothing else
    // it could answer.
    return handle_ != BRIDGEIO_INVALID_HANDLE && handle_ != nullptr && !no_firmware_;
}

// ---- Outcomes ---------------------------------------------------------------

void DeviceSession::set_state(int state) {
    if (state == snap_.state)
        return;
    snap_.state = state;
    publish();
    emit connection_changed(state);
}

void DeviceSession::schedule_reconnect() {
    // An attempt already due keeps its time: starting the countdown afresh
    // at each failure would let a busy script put reconnection off for ever.
    // Attempts are timed from the start of the last one, so an attempt
    // that waited for a silent adapter does not add its wait to the next.
    if (reconnect_timer_->isActive())
        return;
    const int64_t now = steady_ms();
    const int64_t wait = std::max<int64_t>(0, reconnect_interval_ - (now - attempt_started_ms_));
    attempt_due_ms_ = now + wait;
    // A longer wait is looked through every 500 ms (reconnect_due).
    reconnect_timer_->start(static_cast<int>(std::min<int64_t>(wait, kReconnectIntervalMs)));
    reconnect_interval_ = std::min(reconnect_interval_ * 2, kReconnectMaxIntervalMs);
}

void DeviceSession::adapter_lost() {
    if (have_adapter())
        emit log_line(QStringLiteral("Adapter lost."));
    poll_timer_->stop();
    // Polling that was on comes back with the adapter.
    if (snap_.polling)
        resume_polling_ = true;
    // A lost or silent adapter is closed: its handle may hold a request the
    // adapter never answered, and a fresh open starts from a clean link.
    if (have_adapter())
        usb_hid_close(handle_);
    handle_ = BRIDGEIO_INVALID_HANDLE;
    adapter_description_.clear();
    pin_last_ = {-1, -1, -1};
    if (watching_power_up())
        end_power_up(QStringLiteral("adapter lost"));
    schedule_reconnect();
    // The loss first: whoever hears that polling stopped can tell why.
    set_registers_valid(false);
    set_state(kNotConnected);
    if (snap_.polling) {
        snap_.polling = false;
        publish();
        emit polling_changed(false);
    }
}

void DeviceSession::not_acknowledged(bool from_poll) {
    // One line when the chip stops answering; the polls that follow are
    // counted and named once it answers again.
    if (snap_.state != kNotAcknowledged)
        emit log_line(QStringLiteral("NACK"));
    if (from_poll)
        ++failed_polls_;
    set_state(kNotAcknowledged);
}

void DeviceSession::answered() {
    if (snap_.state == kNotAcknowledged && failed_polls_ > 0)
        emit log_line(QStringLiteral("chip answers again after %1 failed poll%2")
                          .arg(failed_polls_)
                          .arg(failed_polls_ == 1 ? "" : "s"));
    failed_polls_ = 0;
    set_state(kConnected);
}

bool DeviceSession::transfer_failed(int result, bool read, bool from_poll) {
    if (!(read ? read_failed(result) : write_failed(result))) {
        answered();
        return false;
    }
    qCDebug(lcDevice, "read failed, retval = 0x%08x", static_cast<unsigned>(result));
    if (result == -1)
        adapter_lost();
    else
        not_acknowledged(from_poll);
    return true;
}

// ---- Registers ----------------------------------------------------------------

int DeviceSession::register_read(uint8_t address) {
    if (!have_adapter())
        return -1;
    uint8_t byte = 0;
    const int r = sw_i2c_read(handle_, 1, address, 1, snap_.address, &byte, speed_a_, speed_b_);
    qCDebug(lcDevice, "register read(), address = 0x%02x, data = 0x%02x", address, byte);
    return transfer_failed(r, true) ? -1 : byte;
}

int DeviceSession::register_write(uint8_t address, uint8_t data) {
    qCDebug(lcDevice, "register write(), address = 0x%02x,data = 0x%02x", address, data);
    if (!have_adapter())
        return -1;
    const int r = sw_i2c_write(handle_, 1, address, 1, snap_.address, &data, speed_a_, speed_b_);
    if (transfer_failed(r, false)) {
        // The record line said what was meant; this says it did not happen.
        emit log_line(failed_write_text(QString::asprintf("register 0x%02X = 0x%02X", address, data)));
        return 0;
    }
    note_written(address, data);
    publish();
    emit cache_changed();
    return 1;
}

int DeviceSession::write_block(uint8_t first, std::span<const uint8_t> data) {
    qCDebug(lcDevice, "write_block(), address = 0x%02x, len = %d", first,
            static_cast<int>(data.size()));
    if (!have_adapter())
        return -1;
    if (data.empty())
        return 1;
    const int r = sw_i2c_write(handle_, static_cast<unsigned>(data.size()), first, 1, snap_.address,
                               data.data(), speed_a_, speed_b_);
    if (transfer_failed(r, false))
        return 0;
    // The chip's register pointer wraps within the page.
    for (size_t i = 0; i < data.size(); ++i)
        note_written(static_cast<uint8_t>(first + i), data[i]);
    publish();
    emit cache_changed();
    return 1;
}

void DeviceSession::note_written(uint8_t address, uint8_t data) {
    if (!write_origin_.isEmpty() && address != rx5120::reg::kPage) {
        const RegisterInfo *known = page_ == 0 ? register_map().register_at(address) : nullptr;
        const QString name = known != nullptr ? known->name : QString::asprintf("0x%02X", address);
        emit chip_written(write_origin_, (page_ == 0 ? QString() : QStringLiteral("page %1: ").arg(page_)) +
                                             QString::asprintf(" = 0x%02X", data).prepend(name));
    }
    if (address == rx5120::reg::kPage) {
        page_ = data < rx5120::kPageCount ? data : 0;
    } else if (page_ == 0) {
        snap_.registers[address] = data;
        snap_.chip[address] = data;
        power_on_due_ = false;
        // A software reset puts every register back to its default: what the
        // cache holds is no longer the chip's until it is read again.
        if (address == rx5120::reg::kSwReset && (data & 0x01) != 0) {
            set_registers_valid(false);
            QTimer::singleShot(0, this, [this] {
                if (!snap_.registers_valid && snap_.state != kNotConnected)
                    read_all();
            });
        }
    }
}

int DeviceSession::read_registers(uint8_t first, unsigned length, uint8_t *buffer) {
    if (!have_adapter() || buffer == nullptr)
        return -1;
    // Into a scratch buffer: a failed transfer must not leave part of a
    // reply in the caller's image.
    std::array<uint8_t, 256> scratch{};
    const unsigned n = std::min(length, 256u);
    const int r = sw_i2c_read(handle_, n, first, 1, snap_.address, scratch.data(), speed_a_, speed_b_);
    qCDebug(lcDevice, "read_registers(), address = 0x%02x, len = %d", first,
            static_cast<int>(length));
    if (transfer_failed(r, true))
        return -1;
    std::memcpy(buffer, scratch.data(), n);
    return static_cast<int>(length);
}

int DeviceSession::switch_page(uint8_t page) {
    const uint8_t p = page < rx5120::kPageCount ? page : 0;
    qCDebug(lcDevice, "switch to page %d", p);
    return register_write(rx5120::reg::kPage, p) == 1 ? 1 : -1;
}

int DeviceSession::set_access_mode(int level) {
    if (level < 0)
        return -1;
    const int m = level < 4 ? level : 4;
    emit log_line(QString::fromLatin1(rx5120::kAccessLevelNames[m]));
    const int saved = register_read(rx5120::reg::kPage);
    if (saved < 0)
        return -1;
    switch_page(0);
    // 0x00 locks; level n then takes the first n + 1 key bytes.
    register_write(rx5120::reg::kModeKey, 0x00);
    for (int i = 0; m >= 1 && i <= m; ++i)
        register_write(rx5120::reg::kModeKey, rx5120::kModeKey[i]);
    switch_page(static_cast<uint8_t>(saved));
    snap_.access_level = m;
    publish();
    return m;
}

DeviceSession::PageGuard::PageGuard(DeviceSession &session)
    : session_(session), saved_(session.register_read(rx5120::reg::kPage)) {
    session_.switch_page(0);
}

DeviceSession::PageGuard::~PageGuard() {
    session_.switch_page(saved_ < 0 ? 0 : static_cast<uint8_t>(saved_));
}

uint8_t DeviceSession::merge_live(uint8_t reg, uint8_t mask, uint8_t bits) {
    switch_page(0);
    const int live = register_read(reg);
    const uint8_t byte = static_cast<uint8_t>(live < 0 ? 0xFF : live);
    if (live >= 0)
        snap_.chip[reg] = byte;
    snap_.registers[reg] = static_cast<uint8_t>((byte & ~mask) | (bits & mask));
    publish();
    emit cache_changed();
    return snap_.registers[reg];
}

int DeviceSession::write_cached(uint8_t reg) {
    return register_write(reg, snap_.registers[reg]);
}

bool DeviceSession::write_registers(std::span<const uint8_t> regs) {
    if (!snap_.registers_valid) {
        emit log_line(QStringLiteral("Write Registers: nothing written, the registers were not "
                                     "read from the chip yet (Read Registers)."));
        return false;
    }
    PageGuard page(*this);
    for (uint8_t reg : regs) {
        write_cached(reg);
        if (snap_.state != kConnected)
            return false;
    }
    return true;
}

void DeviceSession::clear_flags() {
    qCDebug(lcDevice, "clear flags");
    switch_page(0);
    const struct {
        uint8_t reg;
        uint8_t keep;
    } kFlags[] = {{rx5120::reg::kFlags0, rx5120::kFlags0KeepMask},
                  {rx5120::reg::kFlags1, rx5120::kFlags1KeepMask}};
    for (const auto &f : kFlags) {
        const int value = register_read(f.reg);
        snap_.registers[f.reg] = static_cast<uint8_t>((value < 0 ? 0xFF : value) & f.keep);
        write_cached(f.reg);
    }
}

// ---- Bus and address -------------------------------------------------------------

void DeviceSession::reload_status_script() {
    if (have_adapter())
        load_script(handle_, script_.data(), 0, rx5120::kStatusScriptSize);
}

void DeviceSession::set_i2c_address(uint8_t address) {
    qCDebug(lcDevice, "change I2C address");
    script_[rx5120::script::kAddress] = address;
    script_[rx5120::script::kLastAddress] = address;
    reload_status_script();
    qCDebug(lcDevice, "I2C address : 0x%02x", address);
    snap_.address = address;
    publish();
    emit address_changed(address);
    emit log_line(QString::asprintf("i2c_addr(0x%02x)", address));
}

int DeviceSession::select_i2c_bus(int bus) {
    if (bus != 0 && bus != 1)
        return -1;
    const int *pins = bus == 1 ? rx5120::pin::kVentraBus : rx5120::pin::kSystemBus;
    emit log_line(bus == 1 ? QStringLiteral("i2c_bus(vt)") : QStringLiteral("i2c_bus(sys)"));
    for (int i = 0; i < 4; ++i)
        script_[rx5120::script::kBusPins + i] = static_cast<uint8_t>(pins[i]);
    reload_status_script();
    if (snap_.bus != bus) {
        snap_.bus = bus;
        publish();
        emit bus_changed(bus);
    }
    if (!have_adapter())
        return -1;
    return sw_i2c_set_pins(handle_, pins[0], pins[1], pins[2], pins[3], 2);
}

void DeviceSession::set_bus_speed(int index) {
    static const int bytes[3][2] = {{0, 0}, {1, 0}, {1, 1}};
    if (index >= 0 && index < 3) {
        speed_a_ = bytes[index][0];
        speed_b_ = bytes[index][1];
    }
    const uint8_t code = static_cast<uint8_t>(speed_a_ + 2 * speed_b_);
    script_[rx5120::script::kSpeed] = code;
    script_[rx5120::script::kLastSpeed] = code;
    reload_status_script();
}

void DeviceSession::probe_board_sensor() {
    if (have_adapter()) {
        const int *bus = rx5120::pin::kSensorBus;
        sw_i2c_set_pins(handle_, bus[0], bus[1], bus[2], bus[3], 2);
        uint8_t reading[2] = {0, 0};
        const int r = sw_i2c_read(handle_, 2, 0x00, 1, rx5120::kBoardSensorAddress, reading, 0, 0);
        snap_.sensor_present = static_cast<uint32_t>(r) < (1u << 24);
    } else {
        snap_.sensor_present = false;
    }
    select_i2c_bus(snap_.bus);
    set_i2c_address(snap_.address);
}

// ---- Pins -----------------------------------------------------------------------

int DeviceSession::read_pin_level(int group, int pin) {
    if (!have_adapter() || pin < 0 || pin > 31)
        return -1;
    uint32_t word = 0;
    const int r = read_pin(handle_, group, &word);
    const int level = (word >> pin) & 1u;
    qCDebug(lcDevice, "read pin %d.%d = %d", group, pin, level);
    if (r != 0) {
        adapter_lost();
        return -1;
    }
    return level;
}

int DeviceSession::pin_level(int group, int pin) {
    if (snap_.state == kNotConnected)
        return 0;
    if (group == rx5120::pin::kGroupA) {
        for (int i = 0; i < rx5120::kPolledPinCount; ++i)
            if (rx5120::kPolledPins[i] == pin)
                return snap_.status[rx5120::result::kPinLevels + i];
    }
    return read_pin_level(group, pin);
}

int DeviceSession::write_pin(int group, int pin, int level) {
    qCDebug(lcDevice, "set pin %d.%d to %d", group, pin, level);
    if (!have_adapter())
        return -1;
    const int64_t before_us = power_up_clock_();
    if (pin_set(handle_, group, pin, level) != 0) {
        adapter_lost();
        return -1;
    }
    // The edge happened during the exchange: the poll that sees it times
    // it from here rather than from its own run.
    if (group == rx5120::pin::kGroupA && level == 1)
        for (size_t i = 0; i < pin_driven_us_.size(); ++i)
            if (rx5120::kPolledPins[i + 1] == pin)
                pin_driven_us_[i] = (before_us + power_up_clock_()) / 2;
    // Show the new pin state at once.
    poll();
    return 1;
}

void DeviceSession::pulse_pin(int group, int pin, int active_level) {
    write_pin(group, pin, active_level);
    QThread::msleep(kPulseMs);
    write_pin(group, pin, active_level ? 0 : 1);
}

} // namespace evalpanel
