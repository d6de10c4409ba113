// The adapter's other peripherals: PWM outputs, the look-up-table DAC, the
// packet FIFO, the data transfer command, the shake table and the
// demonstration mode.
#include "link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace bridgeio {

namespace {

// PWM: the adapter's timer clock, and the codes that make slot 0 and slot 1
// use the shared prescalers A and B.
constexpr uint64_t kPwmClockHz = 96000000;
constexpr uint32_t kPwmMaxShift = 10;
constexpr uint32_t kPwmMaxCount = 65534;
constexpr uint8_t kPrescalerCodeA = 11;
constexpr uint8_t kPrescalerCodeB = 12;
constexpr int kPwmSlots = 3;
constexpr uint8_t kSlotFree = 0xFF;
constexpr uint32_t kPwmChannels = 4;

// Lives as long as the library: channels keep their slots once set up.
struct PwmState {
    uint8_t slot[kPwmSlots] = {kSlotFree, kSlotFree, kSlotFree};
    uint32_t shared_a = 0;
    uint32_t shared_b = 0;
};

PwmState &pwm_state() {
    static PwmState state;
    return state;
}

constexpr uint32_t kLutMaxCount = 1023;
constexpr size_t kFifoPacketSize = 56;
constexpr uint32_t kDtiMaxStart = 255;
constexpr uint32_t kDtiTableSize = 256;
constexpr uint32_t kDtiMaxReply = 60;
constexpr uint32_t kShakeMaxLength = 2000;
constexpr uint32_t kShakeChunk = 50;
constexpr uint32_t kShakeSecondTable = 2000;
constexpr uint32_t kShakeUploadMode = 1;
constexpr uint32_t kShakeBeginUpload = 3;
constexpr int kDemoSettleMs = 1000;

// The smallest prescaler shift whose period count fits the timer; 11 when
// none does.
uint32_t pwm_shift(uint32_t frequency) {
    for (uint32_t j = 0; j <= kPwmMaxShift; ++j) {
        uint64_t count = kPwmClockHz / (uint64_t{frequency} << j);
        if (count >= 1 && count <= kPwmMaxCount)
            return j;
    }
    return kPwmMaxShift + 1;
}

// Uploads one shake table in chunks of 50 at `base`. 0, or -1.
int upload_shake_table(BridgeHandle h, const uint8_t *table, uint32_t length, uint32_t base) {
    for (uint32_t i = 0; i < length; i += kShakeChunk) {
        begin_command(cmd::kShakeTable);
        put_le32(obuffer + 4, kShakeUploadMode);
        put_le32(obuffer + 8, base + i);
        // The last chunk is padded with zeros, never with bytes past the table.
        std::memcpy(obuffer + 12, table + i, std::min(kShakeChunk, length - i));
        if (rd2(h) != 0)
            return -1;
    }
    return 0;
}

} // namespace

} // namespace bridgeio

using namespace bridgeio;

extern "C" {

BRIDGEIO_API int init_pwm(BridgeHandle handle, uint32_t channel, uint32_t duty,
                          uint32_t frequency) {
    if (frequency == 0 || channel >= kPwmChannels)
        return -1;
    PwmState &pwm = pwm_state();
    int slot = -1;
    for (int i = 0; i < kPwmSlots && slot < 0; ++i) {
        if (pwm.slot[i] == kSlotFree || pwm.slot[i] == channel)
            slot = i;
    }
    if (slot < 0)
        return -1;
    pwm.slot[slot] = static_cast<uint8_t>(channel);

    const uint32_t shift = pwm_shift(frequency);
    uint8_t code = static_cast<uint8_t>(shift);
    if (slot == 0) {
        pwm.shared_a = shift;
        code = kPrescalerCodeA;
    } else if (slot == 1) {
        pwm.shared_b = shift;
        code = kPrescalerCodeB;
    }
    const uint32_t period = static_cast<uint32_t>(kPwmClockHz / (uint64_t{frequency} << shift));
    cprds[channel] = period;

    begin_command(cmd::kInitPwm);
    put_le32(obuffer + 4, period);
    put_le32(obuffer + 8, period * duty / 100);
    obuffer[12] = static_cast<uint8_t>(channel % kPwmChannels);
    obuffer[13] = code;
    obuffer[14] = 1;
    obuffer[15] = 1;
    obuffer[16] = static_cast<uint8_t>(pwm.shared_a);
    obuffer[17] = static_cast<uint8_t>(pwm.shared_b);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int set_pwm(BridgeHandle handle, uint32_t channel, int32_t duty) {
    const uint32_t ch = channel % kPwmChannels;
    // Signed, rounded toward zero; computed wide so no duty can overflow.
    const int64_t count = int64_t{static_cast<int32_t>(cprds[ch])} * duty / 100;
    begin_command(cmd::kSetPwm);
    put_le32(obuffer + 4, cprds[ch]);
    put_le32(obuffer + 8, static_cast<uint32_t>(count));
    obuffer[12] = static_cast<uint8_t>(ch);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int load_lut(BridgeHandle handle, const uint32_t *values, uint32_t count) {
    begin_command(cmd::kLoadLut);
    put_le32(obuffer + 4, std::min(count, kLutMaxCount));
    for (size_t i = 0; values && i < 8; ++i)
        put_le32(obuffer + 8 + 4 * i, values[i]);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int start_dac_write(BridgeHandle handle, uint32_t a, uint32_t b) {
    begin_command(cmd::kStartDacWrite);
    put_le32(obuffer + 4, a);
    put_le32(obuffer + 8, b);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int korra_read_fifo_packet(BridgeHandle handle, uint32_t request, uint8_t *buffer,
                                        BridgeReadCallback callback, uint32_t data1, uint32_t data2,
                                        uint32_t data3) {
    if (!callback) {
        begin_command(cmd::kFifoPacketFlag | cmd::kFifoPacket);
        put_le32(obuffer + 4, request);
        if (rd2(handle) != 0)
            return -1;
        if (buffer)
            std::memcpy(buffer, obuffer + 4, kFifoPacketSize);
        return static_cast<int>(reply_status());
    }
    read_callback = callback;
    cb_data = data1;
    cb_data2 = data2;
    cb_data3 = data3;
    // Request 0 only arms the read: obuffer is left alone, since this may
    // run from a callback in the middle of another exchange.
    if (request != 0) {
        begin_command(cmd::kFifoPacketFlag | cmd::kFifoPacket);
        put_le32(obuffer + 4, request);
        if (wr(handle) != 0)
            return -1;
    }
    return rd_async(handle) == 0 ? 0 : -2;
}

BRIDGEIO_API int korra_stop_packet_flow(BridgeHandle handle) {
    begin_command(cmd::kStopPacketFlow);
    if (rd2(handle) != 0)
        return -1;
    const uint32_t result = get_le32(obuffer + 4);
    drain(handle);
    return static_cast<int>(result);
}

BRIDGEIO_API int dti_transfer(BridgeHandle handle, uint32_t mode, uint8_t *buffer, uint32_t start,
                              uint32_t count) {
    if (mode < 1 || mode > 3)
        return -1;
    start = std::min(start, kDtiMaxStart);
    count = std::min(count, kDtiTableSize - start);
    begin_command(cmd::kDtiTransfer);
    put_le32(obuffer + 4, mode);
    put_le32(obuffer + 8, start);
    put_le32(obuffer + 12, count);
    if (rd2(handle) != 0)
        return -1;
    const uint32_t r = reply_status();
    // Never more than was asked for: the caller sized the buffer by count.
    if (buffer && mode == 1 && r >= 1 && r <= kDtiMaxReply)
        std::memcpy(buffer, obuffer + 4, std::min(r, count));
    return static_cast<int>(r);
}

BRIDGEIO_API int shake_table_ctrl(BridgeHandle handle, uint32_t mode, const uint8_t *table1,
                                  const uint8_t *table2, uint32_t length1, uint32_t length2) {
    length1 = table1 ? std::min(length1, kShakeMaxLength) : 0;
    length2 = table2 ? std::min(length2, kShakeMaxLength) : 0;
    if (mode != kShakeUploadMode) {
        begin_command(cmd::kShakeTable);
        put_le32(obuffer + 4, mode);
        return rd2(handle) == 0 ? 0 : -1;
    }
    begin_command(cmd::kShakeTable);
    put_le32(obuffer + 4, kShakeBeginUpload);
    (void)wr(handle); // announces the upload; no reply is read for it

    if (upload_shake_table(handle, table1, length1, 0) != 0 ||
        upload_shake_table(handle, table2, length2, kShakeSecondTable) != 0)
        return -1;

    begin_command(cmd::kShakeTable);
    put_le32(obuffer + 4, kShakeUploadMode);
    put_le32(obuffer + 8, length1 + length2 * 2048 + 0x80000000u);
    if (rd2(handle) != 0)
        return -1;
    return rd(handle);
}

BRIDGEIO_API int start_demo(BridgeHandle handle) {
    begin_command(cmd::kStartDemo);
    (void)wr(handle);
    // The reply comes once the demonstration is running.
    std::this_thread::sleep_for(std::chrono::milliseconds(kDemoSettleMs));
    if (int r = rd(handle); r != 0)
        return r;
    return static_cast<int>(reply_status());
}

} // extern "C"
