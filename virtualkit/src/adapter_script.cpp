// The adapter's script memory, its script engine and its two converters.
//
// Steps (opcode, operands):
//   device   device, speed code        address and speed of the register steps
//   write    register, data, count     write the data byte to count registers
//   read     register, offset, count   read count registers into the result block
//   bus pins g1, p1, g2, p2, mode      select the pins of the I2C bus
//   convert  unit, channel, offset     one conversion, 16 bits, low byte first
//   pin      group, pin, offset        one pin level (0 or 1)
//   delay    three bytes               wait, in tenths of a microsecond
//   end
// A step that fails marks the run failed but the engine carries on with the
// next step, so the block holds everything that could be read. The status
// word names the first failure: its kind in bits 23..16, the offset of the
// step in bits 15..0.
#include "adapter.h"

#include <algorithm>
#include <cstring>

namespace virtualkit {

namespace {

enum ScriptFault : uint32_t {
    kNack = 1,       // the device did not acknowledge
    kBadStep = 2,    // unknown opcode or operand
    kOutOfBlock = 3, // result offset outside the 60-byte block
    kRanOff = 4,     // no end step before the end of script memory
};

constexpr uint32_t kStoreRefused = 2;
constexpr uint32_t kUnknownSubcommand = 3;
constexpr size_t kMaxStoreChunk = 53;

void set_status(Outcome &out, uint32_t status) {
    put_le32(out.reply.data(), status);
}

// Operand count of each opcode, or -1 for an unknown one.
int operand_count(uint8_t op) {
    switch (op) {
    case step::kDevice:
        return 2;
    case step::kWrite:
    case step::kRead:
    case step::kConvert:
    case step::kPinLevel:
    case step::kDelay:
        return 3;
    case step::kBusPins:
        return 5;
    case step::kEnd:
        return 0;
    default:
        return -1;
    }
}

} // namespace

void Adapter::script_command(const uint8_t *req, Outcome &out, uint64_t now) {
    const uint32_t offset = get_le32(req + 4);
    switch (req[8]) {
    case cmd::kScriptStore: {
        const size_t n = get_le16(req + 9);
        if (n > kMaxStoreChunk || offset > kScriptMemory || n > kScriptMemory - offset) {
            set_status(out, kStoreRefused);
            return;
        }
        std::memcpy(&script_[offset], req + 11, n);
        return;
    }
    case cmd::kScriptRun: {
        uint8_t result[kResultBlock];
        set_status(out, run_script(offset, now, result, &out.busy_us));
        std::memcpy(out.reply.data() + 4, result, kResultBlock);
        return;
    }
    default:
        set_status(out, kUnknownSubcommand);
        return;
    }
}

uint32_t Adapter::run_script(uint32_t offset, uint64_t now, uint8_t *result, uint64_t *busy_us) {
    std::memset(result, 0, kResultBlock);
    uint32_t status = 0;
    uint8_t device = rx5120::kDefaultAddress;
    uint64_t waited_tenths = 0; // delay steps so far, in 0.1 µs
    const auto fail = [&status](ScriptFault kind, size_t at) {
        if (status == 0)
            status = static_cast<uint32_t>(kind) << 16 | static_cast<uint32_t>(at & 0xFFFF);
    };

    size_t pc = offset;
    for (;;) {
        if (pc >= kScriptMemory) {
            fail(kRanOff, pc);
            break;
        }
        const size_t at = pc;
        const uint8_t op = script_[pc];
        const int operands = operand_count(op);
        if (operands < 0) {
            fail(kBadStep, at);
            break;
        }
        if (pc + 1 + static_cast<size_t>(operands) > kScriptMemory) {
            fail(kRanOff, at);
            break;
        }
        const uint8_t *a = &script_[pc + 1];
        pc += 1 + static_cast<size_t>(operands);
        const uint64_t t = now + waited_tenths / 10;

        if (op == step::kEnd)
            break;
        switch (op) {
        case step::kDevice:
            device = a[0]; // the speed code changes nothing the model can see
            break;
        case step::kWrite: {
            uint8_t data[256];
            std::memset(data, a[1], a[2]);
            if (!bus_transfer(bus_, device, true, a[0], data, a[2], t))
                fail(kNack, at);
            break;
        }
        case step::kRead:
            if (a[1] + a[2] > static_cast<int>(kResultBlock))
                fail(kOutOfBlock, at);
            else if (!bus_transfer(bus_, device, false, a[0], result + a[1], a[2], t))
                fail(kNack, at);
            break;
        case step::kBusPins:
            select_bus(a[0], a[1], a[2], a[3]); // a[4], the mode, is the firmware's own
            break;
        case step::kConvert:
            if (a[0] > 1 || a[1] > 7)
                fail(kBadStep, at);
            else if (a[2] + 2 > static_cast<int>(kResultBlock))
                fail(kOutOfBlock, at);
            else
                put_le16(result + a[2], convert(a[0], a[1], t));
            break;
        case step::kPinLevel:
            if (a[0] > 1 || a[1] > 31)
                fail(kBadStep, at);
            else if (a[2] >= kResultBlock)
                fail(kOutOfBlock, at);
            else
                result[a[2]] = static_cast<uint8_t>((pin_levels(a[0], t) >> a[1]) & 1);
            break;
        case step::kDelay:
            waited_tenths += get_le24(a);
            break;
        }
    }
    *busy_us = (waited_tenths + 9) / 10;
    return status;
}

// ---- Converters --------------------------------------------------------------

uint32_t Adapter::noise() {
    uint32_t x = noise_state_;
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    return noise_state_ = x;
}

// Unit 1 channel 0 and 1 measure the Buck0 and Buck5 outputs; the others
// measure supplies of the board through dividers. 10 bits over 2.5 V, with a
// count of noise.
uint16_t Adapter::convert(unsigned unit, unsigned channel, uint64_t now) {
    unsigned mv = 0;
    if (unit == 1 && channel == 0)
        mv = chip_.output_mv(0, now);
    else if (unit == 1 && channel == 1)
        mv = chip_.output_mv(5, now);
    else if (unit == 1 && channel == 2)
        mv = 1850; // system supply, 3.7 V halved
    else if (unit == 1 && channel == 3)
        mv = chip_.powered() ? 900 : 0; // VIOSYS, 1.8 V halved
    else if (unit == 0 && channel == 2)
        mv = 1650; // adapter supply, 3.3 V halved
    else if (unit == 0 && channel == 3)
        mv = 1667; // USB supply, 5 V divided by three
    int raw = static_cast<int>((mv * 1024u + 1250u) / 2500u);
    if (raw > 0)
        raw += static_cast<int>(noise() % 3) - 1;
    return static_cast<uint16_t>(std::clamp(raw, 0, 1023));
}

void Adapter::adc_command(uint8_t code, const uint8_t *req, Outcome &out, uint64_t now) {
    const uint32_t unit = get_le32(req + 4);
    if (unit > 1) {
        set_status(out, kFailStatus);
        return;
    }
    if (code == cmd::kInitAdc)
        return; // the converters are always ready; starting one is harmless
    const uint32_t channel = get_le32(req + 8);
    if (channel > 7) {
        set_status(out, kFailStatus);
        return;
    }
    put_le32(out.reply.data() + 4, convert(unit, channel, now));
}

} // namespace virtualkit
