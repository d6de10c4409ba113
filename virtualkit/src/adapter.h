// The simulated USB adapter board: its bootloader and firmware, the command
// decoder for every request report, pins of ports A and B, the pin-driven
// and controller I2C buses, script memory and script engine, two
// analog-to-digital converters, flash, and the peripheral commands.
//
// One request report in, one Outcome out; the kit decides when (and whether)
// the reply reaches the host.
#pragma once

#include "board_sensor.h"
#include "rx5120_model.h"

#include "chip/adapter_commands.h"
#include "chip/byte_order.h"
#include "chip/firmware_image.h"
#include "chip/rx5120.h"
#include "chip/status_script.h"

#include <array>
#include <cstdint>
#include <vector>

namespace virtualkit {

namespace cmd = rx5120::cmd;
namespace step = rx5120::step;
namespace pin = rx5120::pin;
using rx5120::get_le16;
using rx5120::get_le24;
using rx5120::get_le32;
using rx5120::put_le16;
using rx5120::put_le32;

constexpr uint32_t kFailStatus = 0xFFFFFFFF; // the adapter's "failed" status word
constexpr uint32_t kNoVersion = 0xFFFFFFFF;  // version word of a missing image

// Version words: major in bits 23..16, minor 15..8, patch 7..0.
constexpr uint32_t version_word(unsigned major, unsigned minor, unsigned patch) {
    return (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF);
}

struct Outcome {
    enum class Stream { Keep, Start, Stop };

    std::array<uint8_t, 64> reply{};
    // Time the adapter was busy before it could answer (script delays).
    uint64_t busy_us = 0;
    Stream stream = Stream::Keep;
};

class Adapter {
  public:
    enum class Mode { Bootloader, Firmware };
    enum class Bus { None, System, Ventra, Sensor, Controller };

    static constexpr size_t kScriptMemory = 2048;
    static constexpr size_t kResultBlock = rx5120::kStatusResultSize;
    static constexpr uint32_t kImageMagic = rx5120::image::kMagic;
    static constexpr size_t kPageSize = rx5120::image::kPageSize;
    static constexpr size_t kFlashPages = rx5120::image::kAdapterPages;
    static constexpr size_t kBootloaderSize = rx5120::image::kBootloaderSize;
    static constexpr uint32_t kAppBase = 0x00004000;
    static constexpr uint32_t kScriptBase = 0x20000000;
    static constexpr uint32_t kDefaultBootloader = version_word(1, 0, 4);
    static constexpr uint32_t kDefaultFirmware = version_word(1, 2, 0);

    Adapter(Rx5120 &chip, BoardSensor &sensor);

    // As shipped: default versions and images, then powered up.
    void factory_reset(uint64_t now);
    // The cable: power off loses every pin level, the script memory and the
    // running mode; power on starts the firmware if there is one.
    void power_off(uint64_t now);
    void power_on(uint64_t now);

    Outcome handle(const uint8_t *request, uint64_t now);

    // True while update_bootloader's blocks are arriving (they carry no
    // command word).
    bool receiving_blocks() const { return blocks_left_ > 0; }

    // One report of the FIFO packet stream.
    void make_packet(uint8_t *report, uint64_t now);

    Mode mode() const { return mode_; }
    uint32_t firmware_version() const { return fw_version_; }
    uint32_t bootloader_version() const { return bl_version_; }
    void set_firmware(uint32_t version); // kNoVersion erases it
    void set_bootloader_version(uint32_t version) { bl_version_ = version; }

    uint32_t pin_levels(int group, uint64_t now);
    static bool is_input(int group, int number) {
        return group == pin::kGroupA && number == pin::kInterrupt;
    }
    // Drives an output as pin_set does. False for an input or a pin that
    // does not exist.
    bool drive_pin(int group, int pin, bool level, uint64_t now);
    Bus bus() const { return bus_; }

    uint16_t convert(unsigned unit, unsigned channel, uint64_t now);

  private:
    struct Continuation {
        bool valid = false;
        bool write = false;
        uint8_t device = 0;
        uint8_t next_reg = 0;
    };
    enum class Flash { Idle, Receiving };

    // adapter.cpp: pins and I2C.
    void pin_command(uint8_t code, const uint8_t *req, Outcome &out, uint64_t now);
    void i2c_chunk(const uint8_t *req, Outcome &out, bool write, bool pin_driven, uint64_t now);
    void select_bus(int g1, int p1, int g2, int p2);
    bool bus_transfer(Bus bus, uint8_t device, bool write, uint8_t reg, uint8_t *data, size_t n,
                      uint64_t now);
    void apply_chip_pins(uint64_t now);

    // adapter_flash.cpp: firmware, bootloader, memory.
    void versions(Outcome &out) const;
    void start_firmware(Outcome &out);
    void flash_request(const uint8_t *req, Outcome &out);
    void flash_chunk(const uint8_t *data, size_t n, Outcome &out);
    void begin_bootloader_update(Outcome &out);
    void bootloader_block(const uint8_t *req, Outcome &out);
    void read_memory(const uint8_t *req, Outcome &out) const;
    uint8_t memory_byte(uint32_t address) const;
    void fill_synthetic_firmware();

    // adapter_script.cpp: scripts and converters.
    void script_command(const uint8_t *req, Outcome &out, uint64_t now);
    uint32_t run_script(uint32_t offset, uint64_t now, uint8_t *result, uint64_t *busy_us);
    void adc_command(uint8_t code, const uint8_t *req, Outcome &out, uint64_t now);
    uint32_t noise();

    // adapter_periph.cpp: PWM, look-up table, DAC, FIFO, data transfer,
    // shake table, demonstration, scan test.
    void peripheral_command(uint8_t code, const uint8_t *req, Outcome &out, uint64_t now);
    void shake_table(const uint8_t *req, Outcome &out);
    void data_transfer(const uint8_t *req, Outcome &out);

    Rx5120 &chip_;
    BoardSensor &sensor_;

    Mode mode_ = Mode::Firmware;
    uint32_t bl_version_ = kDefaultBootloader;
    uint32_t fw_version_ = kDefaultFirmware;
    std::vector<uint8_t> bootloader_;
    std::vector<uint8_t> flash_;
    Flash flash_state_ = Flash::Idle;
    uint32_t incoming_version_ = 0;
    std::array<uint8_t, kPageSize> page_{};
    size_t page_fill_ = 0;
    size_t pages_written_ = 0;
    int blocks_left_ = 0;
    std::vector<uint8_t> incoming_bootloader_;

    std::array<uint32_t, 2> latch_{};
    std::array<std::array<std::array<uint8_t, 4>, 32>, 2> pin_config_{};
    Bus bus_ = Bus::System;
    Continuation sw_cont_, hw_cont_;
    std::array<uint32_t, 4> controller_setup_{};

    std::array<uint8_t, kScriptMemory> script_{};
    uint32_t noise_state_ = 0x2545F491;

    struct Pwm {
        uint32_t period = 0, duty = 0;
        uint8_t prescaler = 0;
    };
    std::array<Pwm, 4> pwm_{};
    std::array<uint32_t, 1024> lut_{};
    uint32_t lut_count_ = 0, lut_pos_ = 0;
    uint32_t dac_args_[2] = {};
    bool dac_running_ = false;
    std::array<uint8_t, 256> dti_{};
    std::array<std::array<uint8_t, 2000>, 2> shake_tables_{};
    uint32_t shake_lengths_[2] = {};
    uint32_t shake_mode_ = 0;
    bool demo_running_ = false;
    uint32_t packet_seq_ = 0;
    uint32_t packets_streamed_ = 0;
};

} // namespace virtualkit
