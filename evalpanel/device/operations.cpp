#include "device/operations.h"

#include "chip/rx5120.h"
#include "device/device_session.h"

namespace evalpanel {

void connect_adapter(DeviceSession &session) {
    session.connect_adapter();
}

void stop_firmware_check(DeviceSession &session) {
    session.set_firmware_check(nullptr);
}

void poll_now(DeviceSession &session) {
    session.poll();
}

void set_polling(DeviceSession &session, bool on) {
    session.set_polling(on);
}

void set_current_cycling(DeviceSession &session, bool on) {
    session.set_current_cycling(on);
}

void select_i2c_bus(DeviceSession &session, int bus) {
    session.select_i2c_bus(bus);
}

void set_i2c_address(DeviceSession &session, uint8_t address) {
    session.set_i2c_address(address);
}

void set_bus_speed(DeviceSession &session, int index) {
    session.set_bus_speed(index);
}

int read_register(DeviceSession &session, uint8_t address) {
    return session.register_read(address);
}

void write_register(DeviceSession &session, uint8_t address, uint8_t data) {
    const DeviceSession::WriteOrigin origin(session, QStringLiteral("direct access"));
    session.register_write(address, data);
}

bool write_register_checked(DeviceSession &session, uint8_t address, uint8_t data) {
    return session.register_write(address, data) == 1;
}

void read_all_registers(DeviceSession &session) {
    session.read_all();
}

void write_registers(DeviceSession &session, const std::vector<uint8_t> &regs) {
    const DeviceSession::WriteOrigin origin(session, QStringLiteral("Write Registers"));
    session.write_registers(regs);
}

RegisterImage clear_flags(DeviceSession &session) {
    const DeviceSession::WriteOrigin origin(session, QStringLiteral("control"));
    session.clear_flags();
    return session.registers();
}

void write_pin(DeviceSession &session, int group, int pin, int level) {
    session.write_pin(group, pin, level);
}

namespace {

// A window's pin change in the command log, as the console writes its own.
void log_pin(DeviceSession &session, int group, int pin, const QString &what) {
    namespace p = rx5120::pin;
    const char *name = nullptr;
    if (group == p::kGroupA) {
        switch (pin) {
        case p::kVioSys: name = "PIN_VIO_SYS"; break;
        case p::kNrst: name = "PIN_NRST"; break;
        case p::kNslp: name = "PIN_NSLP"; break;
        case p::kAddressSel: name = "PIN_ADDR"; break;
        default: break;
        }
    }
    session.log((name != nullptr ? QString::fromLatin1(name)
                                 : QStringLiteral("pin %1%2").arg(QChar(u'A' + group)).arg(pin)) +
                what);
}

} // namespace

void write_box_pin(DeviceSession &session, int group, int pin, int level, bool checked) {
    log_pin(session, group, pin, QStringLiteral(" = %1").arg(level != 0 ? 1 : 0));
    session.write_box_pin(group, pin, level, checked);
}

void pulse_pin(DeviceSession &session, int group, int pin, int active_level) {
    log_pin(session, group, pin, QStringLiteral(": 10 ms pulse to %1").arg(active_level != 0 ? 1 : 0));
    session.pulse_pin(group, pin, active_level);
}

Written apply_bit_change(DeviceSession &session, RegisterBits change, const QString &record,
                         bool write_now) {
    const DeviceSession::WriteOrigin origin(session, QStringLiteral("control"));
    session.merge_live(change.reg, change.mask, change.bits);
    if (!record.isEmpty())
        session.log(record);
    Written written;
    if (write_now) {
        session.write_cached(change.reg);
        written.emplace_back(change.reg, session.registers()[change.reg]);
    }
    return written;
}

Written apply_field_change(DeviceSession &session, const std::vector<RegisterBits> &segments,
                           const QString &record, bool write_now) {
    const DeviceSession::WriteOrigin origin(session, QStringLiteral("control"));
    Written written;
    for (size_t i = 0; i < segments.size(); ++i) {
        const RegisterBits &b = segments[i];
        session.merge_live(b.reg, b.mask, b.bits);
        if (!write_now)
            continue;
        session.write_cached(b.reg);
        written.emplace_back(b.reg, session.registers()[b.reg]);
        // The field is logged once, after its first register went out.
        if (i == 0 && !record.isEmpty())
            session.log(record);
    }
    return written;
}

void keep_map_edit(DeviceSession &session, const std::vector<RegisterBits> &bytes) {
    DeviceSession::PageGuard page(session);
    for (const RegisterBits &b : bytes)
        session.merge_live(b.reg, b.mask, b.bits);
}

bool write_map_edit(DeviceSession &session, const char *line, uint32_t value) {
    const DeviceSession::WriteOrigin origin(session, QStringLiteral("map"));
    DeviceSession::PageGuard page(session);
    return set_reg_value(session, line, value) >= 0;
}

FirmwareCheckSinks log_to_session(DeviceSession &session, FirmwareCheckSinks sinks) {
    sinks.log = [&session](const QString &line) { session.log(line); };
    return sinks;
}

} // namespace evalpanel
