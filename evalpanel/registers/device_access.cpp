#include "registers/device_access.h"

#include <cstring>
#include <iterator>

#include "registers/device_trace.h"

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

bool have_adapter() {
    const BridgeHandle h = device().handle;
    return h != BRIDGEIO_INVALID_HANDLE && h != nullptr;
}

// Lines go to the command log only when the window has one.
void log_line(const QString &line) {
    DeviceHost *host = device().host;
    if (host != nullptr && host->has_command_log())
        host->append_command_log(line);
}

void adapter_lost() {
    DeviceState &s = device();
    s.connection_state = kNotConnected;
    if (s.host != nullptr) {
        s.host->stop_poll_timer();
        s.host->start_reconnect_timer(kReconnectIntervalMs);
    }
    s.polling_enabled = false;
}

// Shared by every register transfer.
void classify_failure(int result) {
    qCDebug(lcDevice, "read failed, retval = 0x%08x", static_cast<unsigned>(result));
    if (result == -1) {
        adapter_lost();
        return;
    }
    log_line(QStringLiteral("NACK"));
    device().connection_state = kNotAcknowledged;
}

void reload_status_script() {
    DeviceState &s = device();
    if (have_adapter())
        load_script(s.handle, s.status_script.data(), 0, kStatusScriptSize);
}

// Pins whose level the status script reads, in result block order.
constexpr int kPolledPins[] = {18, 22, 23, 24, 25};

} // namespace

DeviceState &device() {
    static DeviceState state;
    return state;
}

void reset_device() {
    device() = DeviceState{};
}

int register_read(uint8_t address) {
    DeviceState &s = device();
    if (!have_adapter())
        return -1;
    uint8_t byte = 0;
    const int r =
        sw_i2c_read(s.handle, 1, address, 1, s.device_address, &byte, s.speed_a, s.speed_b);
    qCDebug(lcDevice, "register read(), address = 0x%02x, data = 0x%02x", address, byte);
    if (read_failed(r)) {
        classify_failure(r);
        return -1;
    }
    s.connection_state = kConnected;
    return byte;
}

int register_write(uint8_t address, uint8_t data) {
    qCDebug(lcDevice, "register write(), address = 0x%02x,data = 0x%02x", address, data);
    DeviceState &s = device();
    if (!have_adapter())
        return -1;
    const int r =
        sw_i2c_write(s.handle, 1, address, 1, s.device_address, &data, s.speed_a, s.speed_b);
    if (write_failed(r)) {
        classify_failure(r);
        return 0;
    }
    s.connection_state = kConnected;
    return 1;
}

int read_registers(uint8_t first, unsigned length, uint8_t *buffer) {
    DeviceState &s = device();
    if (!have_adapter() || buffer == nullptr)
        return -1;
    const int r =
        sw_i2c_read(s.handle, length, first, 1, s.device_address, buffer, s.speed_a, s.speed_b);
    qCDebug(lcDevice, "read_registers(), address = 0x%02x, len = %d", first,
            static_cast<int>(length));
    if (read_failed(r)) {
        classify_failure(r);
        return -1;
    }
    s.connection_state = kConnected;
    return static_cast<int>(length);
}

int switch_page(uint8_t page) {
    const uint8_t p = page < rx5120::kPageCount ? page : 0;
    qCDebug(lcDevice, "switch to page %d", p);
    // Only a write the chip took selects a page; the -1 of a missing adapter
    // is a failure too.
    return register_write(rx5120::kPageRegister, p) == 1 ? 1 : -1;
}

int set_access_mode(int level) {
    if (level < 0)
        return -1;
    const int m = level < 4 ? level : 4;
    DeviceState &s = device();
    if (s.echo)
        log_line(QString::fromLatin1(kAccessLevelNames[m]));
    const int saved = register_read(rx5120::kPageRegister);
    if (saved < 0)
        return -1;
    switch_page(0);
    // 0x00 locks; level n then takes the first n + 1 key bytes.
    register_write(rx5120::kModeKeyRegister, 0x00);
    for (int i = 0; m >= 1 && i <= m; ++i)
        register_write(rx5120::kModeKeyRegister, rx5120::kModeKey[i]);
    switch_page(static_cast<uint8_t>(saved));
    return m;
}

void set_i2c_address(uint8_t address) {
    DeviceState &s = device();
    qCDebug(lcDevice, "change I2C address");
    s.status_script[kScriptAddressOffset] = address;
    s.status_script[kScriptLastAddressOffset] = address;
    reload_status_script();
    qCDebug(lcDevice, "I2C address : 0x%02x", address);
    s.device_address = address;
    if (s.host != nullptr) {
        const bool listed = address >= 0x60 && address <= 0x63;
        s.host->set_address_selector_index(listed ? address - 0x60 : -1);
    }
    log_line(QString::asprintf("i2c_addr(0x%02x)", address));
}

int select_i2c_bus(int bus) {
    DeviceState &s = device();
    // Clock and data pins of the chip bus: A1/A5 system, A2/A4 Ventra.
    int pins[4];
    if (bus == 1) {
        if (s.echo)
            log_line(QStringLiteral("i2c_bus(vt)"));
        const int vt[4] = {0, 2, 0, 4};
        std::memcpy(pins, vt, sizeof pins);
    } else if (bus == 0) {
        if (s.echo)
            log_line(QStringLiteral("i2c_bus(sys)"));
        const int sys[4] = {0, 1, 0, 5};
        std::memcpy(pins, sys, sizeof pins);
    } else {
        return -1;
    }
    for (int i = 0; i < 4; ++i)
        s.status_script[kScriptBusPinsOffset + i] = static_cast<uint8_t>(pins[i]);
    reload_status_script();
    if (!have_adapter())
        return -1;
    return sw_i2c_set_pins(s.handle, pins[0], pins[1], pins[2], pins[3], 2);
}

void set_bus_speed(int index) {
    DeviceState &s = device();
    static const int bytes[3][2] = {{0, 0}, {1, 0}, {1, 1}};
    if (index >= 0 && index < 3) {
        s.speed_a = bytes[index][0];
        s.speed_b = bytes[index][1];
    }
    const uint8_t code = static_cast<uint8_t>(s.speed_a + 2 * s.speed_b);
    s.status_script[kScriptSpeedOffset] = code;
    s.status_script[kScriptLastSpeedOffset] = code;
    reload_status_script();
}

void probe_board_sensor() {
    DeviceState &s = device();
    if (have_adapter()) {
        sw_i2c_set_pins(s.handle, 1, 18, 1, 19, 2);
        uint8_t reading[2] = {0, 0};
        const int r = sw_i2c_read(s.handle, 2, 0x00, 1, rx5120::kBoardSensorAddress, reading, 0, 0);
        s.board_sensor_present = static_cast<uint32_t>(r) < (1u << 24);
    } else {
        s.board_sensor_present = false;
    }
    select_i2c_bus(s.bus_selection);
    // A selector showing no item (an address set from the console outside
    // 60h..63h) keeps the current address.
    const int index = s.host != nullptr ? s.host->address_selector_index() : -1;
    set_i2c_address(index >= 0 && index <= 3 ? static_cast<uint8_t>(0x60 + index)
                                             : s.device_address);
}

int read_pin_level(int group, int pin) {
    DeviceState &s = device();
    if (!have_adapter() || pin < 0 || pin > 31)
        return -1;
    uint32_t word = 0;
    const int r = read_pin(s.handle, group, &word);
    const int level = (word >> pin) & 1u;
    qCDebug(lcDevice, "read pin %d.%d = %d", group, pin, level);
    if (r != 0) {
        adapter_lost();
        return -1;
    }
    return level;
}

int pin_level(int group, int pin) {
    const DeviceState &s = device();
    if (s.connection_state == kNotConnected)
        return 0;
    if (group == 0) {
        for (std::size_t i = 0; i < std::size(kPolledPins); ++i)
            if (kPolledPins[i] == pin)
                return s.status_result[kResultPinLevels + i];
    }
    return read_pin_level(group, pin);
}

int write_pin(int group, int pin, int level) {
    qCDebug(lcDevice, "set pin %d.%d to %d", group, pin, level);
    DeviceState &s = device();
    if (!have_adapter())
        return -1;
    if (pin_set(s.handle, group, pin, level) != 0) {
        adapter_lost();
        return -1;
    }
    // Show the new pin state at once.
    if (s.host != nullptr)
        s.host->run_status_poll();
    return 1;
}

int run_status_script() {
    DeviceState &s = device();
    uint8_t block[kStatusResultSize];
    std::memcpy(block, s.status_result.data(), sizeof block);
    // Without an adapter the run fails as a script run on a vanished
    // adapter would, so polling stops; the library is not called.
    const int r = have_adapter() ? execute_script(s.handle, 0, block) : -1;
    apply_status_result(r, block);
    return r;
}

void apply_status_result(int result, const uint8_t *block) {
    DeviceState &s = device();
    if (read_failed(result)) {
        qCDebug(lcDevice, "read failed, retval = 0x%08x", static_cast<unsigned>(result));
        if (result == -1) {
            adapter_lost();
        } else if (s.board_sensor_present) {
            // Without the sensor a failing step is expected and says
            // nothing about the chip.
            log_line(QStringLiteral("NACK"));
            s.connection_state = kNotAcknowledged;
        }
        return;
    }
    s.connection_state = kConnected;
    if (block != nullptr)
        std::memcpy(s.status_result.data(), block, kStatusResultSize);
    s.register_cache[0x0D] = s.status_result[kResultFlags0];
    s.register_cache[0x0E] = s.status_result[kResultFlags1];
}

} // namespace evalpanel
