// The adapter's other peripherals: PWM outputs, the look-up table and DAC,
// the FIFO packet stream, the data transfer buffer, the shake table, the
// demonstration mode and the scan test. None of them reaches the chip; they
// keep what they are given and answer as the firmware does.
#include "adapter.h"

#include <algorithm>
#include <cstring>

namespace virtualkit {

namespace {

constexpr uint32_t kShakeTableSize = 2000;
constexpr uint32_t kShakeChunk = 50;

void set_status(Outcome &out, uint32_t status) {
    put_le32(out.reply.data(), status);
}

} // namespace

// A packet: its sequence number as the status word, the time in
// microseconds, then 26 samples of a sawtooth.
void Adapter::make_packet(uint8_t *report, uint64_t now) {
    std::memset(report, 0, 64);
    const uint32_t seq = ++packet_seq_;
    ++packets_streamed_;
    put_le32(report, seq);
    put_le32(report + 4, static_cast<uint32_t>(now));
    for (uint32_t i = 0; i < 26; ++i)
        put_le16(report + 8 + 2 * i, static_cast<uint16_t>(((seq * 26 + i) * 97) % 4096));
}

void Adapter::peripheral_command(uint8_t code, const uint8_t *req, Outcome &out, uint64_t now) {
    switch (code) {
    case cmd::kScanTest: // the report comes back as it went
        std::memcpy(out.reply.data() + 4, req + 4, 60);
        return;
    case cmd::kInitPwm:
    case cmd::kSetPwm: {
        const uint8_t channel = req[12];
        if (channel > 3) {
            set_status(out, kFailStatus);
            return;
        }
        Pwm &p = pwm_[channel];
        p.period = get_le32(req + 4);
        p.duty = std::min(get_le32(req + 8), p.period);
        if (code == cmd::kInitPwm)
            p.prescaler = req[13];
        return;
    }
    case cmd::kLoadLut: {
        lut_count_ = std::min<uint32_t>(get_le32(req + 4), 1023);
        for (int i = 0; i < 8; ++i)
            lut_[(lut_pos_ + static_cast<uint32_t>(i)) % lut_.size()] = get_le32(req + 8 + 4 * i);
        lut_pos_ = (lut_pos_ + 8) % static_cast<uint32_t>(lut_.size());
        return;
    }
    case cmd::kStartDacWrite:
        dac_args_[0] = get_le32(req + 4);
        dac_args_[1] = get_le32(req + 8);
        dac_running_ = true;
        lut_pos_ = 0;
        return;
    case cmd::kFifoPacket:
        // One packet now; a request value other than 0 also starts the
        // stream, which runs until the stop command.
        make_packet(out.reply.data(), now);
        if (get_le32(req + 4) != 0)
            out.stream = Outcome::Stream::Start;
        return;
    case cmd::kStopPacketFlow:
        // Stop: how many packets went out since the stream was last stopped.
        out.stream = Outcome::Stream::Stop;
        put_le32(out.reply.data() + 4, packets_streamed_);
        packets_streamed_ = 0;
        return;
    case cmd::kDtiTransfer:
        data_transfer(req, out);
        return;
    case cmd::kShakeTable:
        shake_table(req, out);
        return;
    case cmd::kStartDemo:
        demo_running_ = true;
        return;
    default:
        set_status(out, kFailStatus);
        return;
    }
}

// Mode 1 reads up to 60 bytes of the 256-byte buffer (the status word is
// the count), mode 2 fills the range with a counting pattern, mode 3 clears
// it (the status word is the count).
void Adapter::data_transfer(const uint8_t *req, Outcome &out) {
    const uint32_t mode = get_le32(req + 4);
    const uint32_t start = std::min<uint32_t>(get_le32(req + 8), 255);
    const uint32_t count = std::min<uint32_t>(get_le32(req + 12), 256 - start);
    switch (mode) {
    case 1: {
        const uint32_t n = std::min<uint32_t>(count, 60);
        std::memcpy(out.reply.data() + 4, &dti_[start], n);
        set_status(out, n);
        return;
    }
    case 2:
        for (uint32_t i = 0; i < count; ++i)
            dti_[start + i] = static_cast<uint8_t>(dti_[start + i] + 1);
        set_status(out, count);
        return;
    case 3:
        std::memset(&dti_[start], 0, count);
        set_status(out, count);
        return;
    default:
        set_status(out, kFailStatus);
        return;
    }
}

// Mode 1 carries table chunks (position below 2000: first table, from 2000
// on: second table) and, with bit 31 of the position word set, the two
// lengths that end the upload. Other modes start and stop the motion.
void Adapter::shake_table(const uint8_t *req, Outcome &out) {
    const uint32_t mode = get_le32(req + 4);
    if (mode != 1) {
        shake_mode_ = mode;
        return;
    }
    const uint32_t pos = get_le32(req + 8);
    if (pos & 0x80000000u) {
        shake_lengths_[0] = std::min(pos & 0x7FF, kShakeTableSize);
        shake_lengths_[1] = std::min((pos >> 11) & 0x7FF, kShakeTableSize);
        return;
    }
    const uint32_t table = pos < kShakeTableSize ? 0 : 1;
    const uint32_t at = pos - table * kShakeTableSize;
    if (at >= kShakeTableSize) {
        set_status(out, kFailStatus);
        return;
    }
    const uint32_t n = std::min(kShakeChunk, kShakeTableSize - at);
    std::memcpy(&shake_tables_[table][at], req + 12, n);
}

} // namespace virtualkit
