// I2C transfers (the adapter's controller and its pin-driven bus) and the
// general-purpose pin commands.
#include "link.h"

#include <cstring>

namespace bridgeio {

namespace {

constexpr uint32_t kWriteChunk = 52;
constexpr uint32_t kReadChunk = 60;

// Fixed fields of one transfer; the register advances on pin-driven reads.
struct Transfer {
    uint32_t command;
    int reg;
    int addr_mode;
    int dev_addr;
    bool speed_bytes; // pin-driven bus: bytes 10 and 11 carry the speed
    int speed_a;
    int speed_b;
};

// Composes the request of one chunk: bytes 4 to 11 of a transfer.
void begin_chunk(const Transfer &t, uint32_t n, uint32_t reg, bool full, bool continued) {
    begin_command(t.command);
    obuffer[4] = static_cast<uint8_t>(n);
    obuffer[5] = static_cast<uint8_t>(reg);
    obuffer[6] = static_cast<uint8_t>(t.addr_mode);
    obuffer[7] = static_cast<uint8_t>(t.dev_addr);
    obuffer[8] = full ? 1 : 0;
    obuffer[9] = continued ? 1 : 0;
    if (t.speed_bytes) {
        obuffer[10] = static_cast<uint8_t>(t.speed_a);
        obuffer[11] = static_cast<uint8_t>(t.speed_b);
    }
}

// Sends `length` bytes in chunks of 52. The last reply's status word, -4 on
// a bus failure, -1 on a failed exchange.
int64_t chunked_write(BridgeHandle h, const Transfer &t, uint32_t length, const uint8_t *data) {
    uint32_t status = 0;
    for (uint32_t off = 0; off < length;) {
        const bool full = length - off >= kWriteChunk;
        const uint32_t n = full ? kWriteChunk : length - off;
        begin_chunk(t, n, static_cast<uint32_t>(t.reg), full, off != 0);
        std::memcpy(obuffer + 12, data + off, n);
        if (rd2(h) != 0)
            return -1;
        status = reply_status();
        if (status == kStatusFailed)
            return -4;
        off += n;
    }
    return status;
}

// Reads `length` bytes in chunks of 60 into `out`. `advance` moves the
// register on by each chunk's length. Results as chunked_write.
int64_t chunked_read(BridgeHandle h, const Transfer &t, uint32_t length, uint8_t *out,
                     bool advance) {
    uint32_t status = 0;
    uint32_t reg = static_cast<uint32_t>(t.reg); // only its low byte is sent
    for (uint32_t off = 0; off < length;) {
        const bool full = length - off >= kReadChunk;
        const uint32_t n = full ? kReadChunk : length - off;
        begin_chunk(t, n, reg, full, off != 0);
        if (rd2(h) != 0)
            return -1;
        status = reply_status();
        if (status == kStatusFailed)
            return -4;
        std::memcpy(out + off, obuffer + 4, n);
        off += n;
        if (advance)
            reg += n;
    }
    return status;
}

} // namespace

} // namespace bridgeio

using namespace bridgeio;

extern "C" {

BRIDGEIO_API int i2c_init(BridgeHandle handle, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    begin_command(cmd::kI2cInit);
    put_le32(obuffer + 4, a);
    put_le32(obuffer + 8, b);
    put_le32(obuffer + 12, c);
    put_le32(obuffer + 16, d);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int i2c_write(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                           int dev_addr, const uint8_t *data) {
    const Transfer t{cmd::kI2cWrite, reg, addr_mode, dev_addr, false, 0, 0};
    return static_cast<int>(chunked_write(handle, t, length, data));
}

BRIDGEIO_API int i2c_read(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                          int dev_addr, uint8_t *out) {
    const Transfer t{cmd::kI2cRead, reg, addr_mode, dev_addr, false, 0, 0};
    return static_cast<int>(chunked_read(handle, t, length, out, false));
}

BRIDGEIO_API int sw_i2c_set_pins(BridgeHandle handle, int group1, int pin1, int group2, int pin2,
                                 int mode) {
    begin_command(cmd::kSwI2cSetPins);
    put_le32(obuffer + 4, static_cast<uint32_t>(group1));
    put_le32(obuffer + 8, static_cast<uint32_t>(pin1));
    put_le32(obuffer + 12, static_cast<uint32_t>(group2));
    put_le32(obuffer + 16, static_cast<uint32_t>(pin2));
    put_le32(obuffer + 20, static_cast<uint32_t>(mode));
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int sw_i2c_write(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                              int dev_addr, const uint8_t *data, int speed_a, int speed_b) {
    const Transfer t{cmd::kSwI2cWrite, reg, addr_mode, dev_addr, true, speed_a, speed_b};
    int64_t r = chunked_write(handle, t, length, data);
    return r < 0 ? static_cast<int>(r) : static_cast<int>(length);
}

BRIDGEIO_API int sw_i2c_read(BridgeHandle handle, unsigned length, int reg, int addr_mode,
                             int dev_addr, uint8_t *out, int speed_a, int speed_b) {
    const Transfer t{cmd::kSwI2cRead, reg, addr_mode, dev_addr, true, speed_a, speed_b};
    int64_t r = chunked_read(handle, t, length, out, true);
    return r < 0 ? static_cast<int>(r) : static_cast<int>(length);
}

BRIDGEIO_API int pin_config(BridgeHandle handle, int group, int pin, int c1, int c2, int c3,
                            int c4) {
    begin_command(cmd::kPinConfig);
    obuffer[4] = static_cast<uint8_t>(group);
    obuffer[5] = static_cast<uint8_t>(pin);
    obuffer[6] = static_cast<uint8_t>(c1);
    obuffer[7] = static_cast<uint8_t>(c2);
    obuffer[8] = static_cast<uint8_t>(c3);
    obuffer[9] = static_cast<uint8_t>(c4);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int pin_set(BridgeHandle handle, int group, int pin, int level) {
    begin_command(cmd::kPinSet);
    obuffer[4] = static_cast<uint8_t>(group);
    obuffer[5] = static_cast<uint8_t>(pin);
    obuffer[6] = static_cast<uint8_t>(level);
    return rd2(handle) == 0 ? 0 : -1;
}

BRIDGEIO_API int read_pin(BridgeHandle handle, int group, uint32_t *levels) {
    begin_command(cmd::kReadPin);
    obuffer[4] = static_cast<uint8_t>(group);
    if (rd2(handle) != 0)
        return -1;
    if (levels)
        *levels = get_le32(obuffer + 4);
    return 0;
}

BRIDGEIO_API int scantest(BridgeHandle handle, const uint8_t *in, uint8_t *out) {
    begin_command(cmd::kScanTest);
    if (in)
        std::memcpy(obuffer + 4, in + 4, kPayloadSize - 4);
    if (rd2(handle) != 0)
        return -1;
    if (out)
        std::memcpy(out + 4, obuffer + 4, kPayloadSize - 4);
    return 0;
}

} // extern "C"
