// The adapter's command decoder, its pins and its I2C buses.
#include "adapter.h"

#include <algorithm>
#include <cstring>

namespace virtualkit {

namespace {


void set_status(Outcome &out, uint32_t status) {
    put_le32(out.reply.data(), status);
}

// Commands the bootloader serves; everything else is the firmware's.
bool bootloader_command(uint8_t code) {
    switch (code) {
    case cmd::kReturnToBootloader:
    case cmd::kStartFirmware:
    case cmd::kFlash:
    case cmd::kVersions:
    case cmd::kReadMemory:
    case cmd::kUpdateBootloader:
        return true;
    default:
        return false;
    }
}

bool same_pair(int g1, int p1, int g2, int p2, int a_group, int a_pin, int b_group, int b_pin) {
    return (g1 == a_group && p1 == a_pin && g2 == b_group && p2 == b_pin) ||
           (g1 == b_group && p1 == b_pin && g2 == a_group && p2 == a_pin);
}

} // namespace

Adapter::Adapter(Rx5120 &chip, BoardSensor &sensor) : chip_(chip), sensor_(sensor) {
    factory_reset(0);
}

void Adapter::factory_reset(uint64_t now) {
    bl_version_ = kDefaultBootloader;
    bootloader_.assign(kBootloaderSize, 0xFF);
    // A bootloader image that looks like one: stack pointer, reset vector,
    // then code.
    uint32_t x = 0x1B00710A;
    put_le32(&bootloader_[0], 0x20008000);
    put_le32(&bootloader_[4], 0x000000C1);
    for (size_t i = 8; i < 12 * 1024; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        bootloader_[i] = static_cast<uint8_t>(x);
    }
    flash_.assign(kFlashPages * kPageSize, 0xFF);
    set_firmware(kDefaultFirmware);
    flash_state_ = Flash::Idle;
    blocks_left_ = 0;
    pwm_ = {};
    lut_ = {};
    lut_count_ = lut_pos_ = 0;
    dac_args_[0] = dac_args_[1] = 0;
    dac_running_ = false;
    for (size_t i = 0; i < dti_.size(); ++i)
        dti_[i] = static_cast<uint8_t>(i);
    shake_tables_ = {};
    shake_lengths_[0] = shake_lengths_[1] = 0;
    shake_mode_ = 0;
    noise_state_ = 0x2545F491;
    power_on(now);
}

void Adapter::power_off(uint64_t now) {
    latch_ = {};
    pin_config_ = {};
    apply_chip_pins(now);
    script_.fill(0xFF);
    flash_state_ = Flash::Idle;
    blocks_left_ = 0;
    demo_running_ = false;
    dac_running_ = false;
}

void Adapter::power_on(uint64_t now) {
    power_off(now);
    mode_ = fw_version_ != kNoVersion ? Mode::Firmware : Mode::Bootloader;
    bus_ = Bus::System;
    sw_cont_ = hw_cont_ = Continuation{};
    controller_setup_ = {};
    packet_seq_ = packets_streamed_ = 0;
}

Outcome Adapter::handle(const uint8_t *req, uint64_t now) {
    Outcome out;
    if (blocks_left_ > 0) {
        bootloader_block(req, out);
        return out;
    }
    const uint8_t code = req[0];
    if (mode_ == Mode::Bootloader && !bootloader_command(code)) {
        set_status(out, kFailStatus);
        return out;
    }
    switch (code) {
    case cmd::kPinConfig:
    case cmd::kPinSet:
    case cmd::kReadPin:
        pin_command(code, req, out, now);
        break;
    case cmd::kReturnToBootloader:
        if (mode_ == Mode::Firmware)
            out.stream = Outcome::Stream::Stop; // the firmware stops running
        mode_ = Mode::Bootloader;
        break;
    case cmd::kI2cInit:
        for (int i = 0; i < 4; ++i)
            controller_setup_[i] = get_le32(req + 4 + 4 * i);
        hw_cont_ = Continuation{};
        break;
    case cmd::kI2cWrite:
    case cmd::kI2cRead:
        i2c_chunk(req, out, code == cmd::kI2cWrite, false, now);
        break;
    case cmd::kSwI2cWrite:
    case cmd::kSwI2cRead:
        i2c_chunk(req, out, code == cmd::kSwI2cWrite, true, now);
        break;
    case cmd::kSwI2cSetPins:
        select_bus(static_cast<int>(get_le32(req + 4)), static_cast<int>(get_le32(req + 8)),
                   static_cast<int>(get_le32(req + 12)), static_cast<int>(get_le32(req + 16)));
        break;
    case cmd::kStartFirmware:
        if (mode_ == Mode::Bootloader)
            start_firmware(out);
        else
            peripheral_command(code, req, out, now);
        break;
    case cmd::kFlash:
    case cmd::kUpdateBootloader:
        if (mode_ != Mode::Bootloader)
            set_status(out, kFailStatus);
        else if (code == cmd::kFlash)
            flash_request(req, out);
        else
            begin_bootloader_update(out);
        break;
    case cmd::kVersions:
        versions(out);
        break;
    case cmd::kReadMemory:
        read_memory(req, out);
        break;
    case cmd::kScript:
        script_command(req, out, now);
        break;
    case cmd::kInitAdc:
    case cmd::kReadAdc:
        adc_command(code, req, out, now);
        break;
    case cmd::kScanTest:
    case cmd::kFifoPacket:
    case cmd::kInitPwm:
    case cmd::kSetPwm:
    case cmd::kLoadLut:
    case cmd::kStartDacWrite:
    case cmd::kDtiTransfer:
    case cmd::kShakeTable:
    case cmd::kStartDemo:
        peripheral_command(code, req, out, now);
        break;
    default:
        set_status(out, kFailStatus);
        break;
    }
    return out;
}

// ---- Pins ------------------------------------------------------------------

uint32_t Adapter::pin_levels(int group, uint64_t now) {
    if (group == 0) {
        const uint32_t line = chip_.int_line(now) ? 1u << pin::kInterrupt : 0;
        return (latch_[0] & ~(1u << pin::kInterrupt)) | line;
    }
    return group == 1 ? latch_[1] : 0;
}

bool Adapter::drive_pin(int group, int pin, bool level, uint64_t now) {
    if (group < 0 || group > 1 || pin < 0 || pin > 31 || is_input(group, pin))
        return false;
    const uint32_t bit = 1u << pin;
    latch_[group] = level ? latch_[group] | bit : latch_[group] & ~bit;
    if (group == 0)
        apply_chip_pins(now);
    return true;
}

void Adapter::apply_chip_pins(uint64_t now) {
    const auto high = [this](int pin) { return (latch_[0] >> pin) & 1; };
    sensor_.set_powered(high(pin::kVioSys));
    chip_.set_pins(high(pin::kVioSys), high(pin::kNrst), high(pin::kNslp), high(pin::kAddressSel),
                   now);
}

void Adapter::pin_command(uint8_t code, const uint8_t *req, Outcome &out, uint64_t now) {
    const int group = req[4];
    const int pin = req[5];
    if (group > 1 || (code != cmd::kReadPin && pin > 31)) {
        set_status(out, kFailStatus);
        return;
    }
    switch (code) {
    case cmd::kPinConfig:
        std::memcpy(pin_config_[group][pin].data(), req + 6, 4);
        break;
    case cmd::kPinSet:
        // Driving the interrupt input changes nothing that can be seen.
        if (!is_input(group, pin))
            drive_pin(group, pin, req[6] != 0, now);
        break;
    default:
        put_le32(out.reply.data() + 4, pin_levels(group, now));
        break;
    }
}

// ---- I2C -------------------------------------------------------------------

void Adapter::select_bus(int g1, int p1, int g2, int p2) {
    if (same_pair(g1, p1, g2, p2, 0, 1, 0, 5))
        bus_ = Bus::System;
    else if (same_pair(g1, p1, g2, p2, 0, 2, 0, 4))
        bus_ = Bus::Ventra;
    else if (same_pair(g1, p1, g2, p2, 1, 18, 1, 19))
        bus_ = Bus::Sensor;
    else
        bus_ = Bus::None; // two pins with nothing on them
    sw_cont_ = Continuation{};
}

bool Adapter::bus_transfer(Bus bus, uint8_t device, bool write, uint8_t reg, uint8_t *data,
                           size_t n, uint64_t now) {
    switch (bus) {
    case Bus::System:
    case Bus::Ventra:
        return chip_.transfer(device, write, reg, data, n, now);
    case Bus::Sensor:
        return sensor_.transfer(device, write, reg, data, n, now);
    case Bus::Controller:
        // The controller's bus reaches the chip and the board sensor alike.
        return chip_.transfer(device, write, reg, data, n, now) ||
               sensor_.transfer(device, write, reg, data, n, now);
    case Bus::None:
        break;
    }
    return false;
}

// One chunk of an I2C transfer. A chunk flagged as a continuation goes on
// where the previous chunk of the same transfer ended, as the bus
// transaction itself does.
void Adapter::i2c_chunk(const uint8_t *req, Outcome &out, bool write, bool pin_driven,
                        uint64_t now) {
    const size_t n = req[4];
    uint8_t reg = req[5];
    const uint8_t device = req[7];
    const bool continuation = req[9] != 0;
    Continuation &cont = pin_driven ? sw_cont_ : hw_cont_;
    if (n > (write ? 52u : 60u)) {
        cont = Continuation{};
        set_status(out, kFailStatus);
        return;
    }
    if (continuation && cont.valid && cont.device == device && cont.write == write)
        reg = cont.next_reg;

    uint8_t data[60] = {};
    if (write)
        std::memcpy(data, req + 12, n);
    if (!bus_transfer(pin_driven ? bus_ : Bus::Controller, device, write, reg, data, n, now)) {
        cont = Continuation{};
        set_status(out, kFailStatus);
        return;
    }
    cont = Continuation{true, write, device, static_cast<uint8_t>(reg + n)};
    if (!write)
        std::memcpy(out.reply.data() + 4, data, n);
}

} // namespace virtualkit
