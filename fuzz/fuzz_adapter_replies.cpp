// The adapter library facing an adapter that answers anything: a port whose
// writes succeed or fail and whose reads deliver whole, short, late or no
// reports, all as the input says, under the library's public calls chosen
// by the input. Every caller buffer is exactly as large as the call's
// contract asks, so a read or write past it is caught.
//
// Input: the first half drives the calls (which call, its arguments), the
// second half is what the port does (read and write outcomes, reply bytes).
// The halves are apart so that the library's raw-read thread can take reply
// bytes while the calling thread takes the next call.
//
// Not called: start_demo (it sleeps a real second), bt_init and
// usb_hid_init (they open operating system devices), load_firmware (it
// reads a file; the firmware image target covers it).
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bridgeio.h"
#include "link.h"
#include "port/port.h"

namespace bridgeio {

// No HID devices here: the fuzz port is attached directly.
std::unique_ptr<Port> open_hid_port(uint16_t, uint16_t) {
    return nullptr;
}

} // namespace bridgeio

namespace {

using bridgeio::Port;
using bridgeio::Transport;

// Bytes taken one after another; zeros once they run out.
class Stream {
  public:
    Stream(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u16() { return byte() | uint32_t(byte()) << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    void fill(uint8_t *out, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out[i] = byte();
    }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> v(n);
        fill(v.data(), n);
        return v;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "adapter replies: %s\n", what);
    abort();
}

class FuzzPort : public Port {
  public:
    FuzzPort(Transport transport, Stream &replies, std::thread::id caller)
        : transport_(transport), replies_(replies), caller_(caller) {}

    Transport transport() const override { return transport_; }

    int write(const uint8_t *data, size_t len, int) override {
        if (len != bridgeio::kFrameSize)
            fail("a request that is not one frame");
        checksum_ += data[0] + data[len - 1];
        worker_timed_out_ = false;
        switch (replies_.byte() & 0x0F) {
        case 0:
            return bridgeio::kPortTimeout;
        case 1:
            return bridgeio::kPortIoError;
        default:
            return bridgeio::kPortOk;
        }
    }

    int read(uint8_t *data, size_t len, int, size_t *got) override {
        *got = 0;
        if (len == 0 || len > bridgeio::kFrameSize)
            fail("a read of an odd size");
        const bool worker = std::this_thread::get_id() != caller_;
        if (!worker)
            worker_timed_out_ = false;
        // The raw-read thread keeps asking until it is stopped; after one
        // time-out it gets nothing more, so the bytes it takes do not depend
        // on when it is stopped.
        if ((worker && worker_timed_out_) || replies_.empty()) {
            if (worker)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            return bridgeio::kPortTimeout;
        }
        const uint8_t kind = replies_.byte();
        int result = bridgeio::kPortOk;
        size_t n = len;
        switch (kind & 3) {
        case 0: // a whole report
            break;
        case 1: // a short report (HID) or part of one that stops (serial)
            n = replies_.byte() % (len + 1);
            if (transport_ == Transport::Serial && n < len)
                result = bridgeio::kPortTimeout;
            break;
        case 2:
            n = transport_ == Transport::Serial ? replies_.byte() % len : 0;
            result = bridgeio::kPortTimeout;
            break;
        default:
            n = 0;
            result = bridgeio::kPortIoError;
            break;
        }
        replies_.fill(data, n);
        *got = n;
        if (worker && result == bridgeio::kPortTimeout)
            worker_timed_out_ = true;
        return result;
    }

    void cancel() override {}

    unsigned checksum_ = 0;

  private:
    Transport transport_;
    Stream &replies_;
    std::thread::id caller_;
    std::atomic<bool> worker_timed_out_{false};
};

BridgeHandle g_handle = BRIDGEIO_INVALID_HANDLE;
unsigned g_sink = 0;

int fifo_callback(uint8_t *report, uint32_t d1, uint32_t d2, uint32_t d3) {
    for (size_t i = 0; i < bridgeio::kPayloadSize; ++i)
        g_sink += report[i];
    g_sink += d1 + d2 + d3;
    // The one call a callback may make: arming the next read.
    if (d1 & 1)
        korra_read_fifo_packet(g_handle, 0, nullptr, fifo_callback, d1 >> 1, d2, d3);
    return 0;
}

// A buffer of exactly n bytes, or none when the control byte says so.
struct Buffer {
    std::unique_ptr<uint8_t[]> bytes;
    uint8_t *get() { return bytes.get(); }
    static Buffer of(size_t n, bool present) {
        Buffer b;
        if (present)
            b.bytes.reset(new uint8_t[n ? n : 1]());
        return b;
    }
};

void check_version(int r, const char *text, const char *untouched) {
    if (r == -1) {
        if (memcmp(text, untouched, 12) != 0)
            fail("a failed version read wrote the text");
    } else if (memchr(text, '\0', 12) == nullptr) {
        fail("a version text without terminator");
    }
}

BridgeHandle attach(Stream &control, Stream &replies) {
    const Transport t = control.byte() & 1 ? Transport::Serial : Transport::Hid;
    return bridgeio::link_attach(
        std::make_unique<FuzzPort>(t, replies, std::this_thread::get_id()));
}

void one_call(Stream &c, Stream &replies, std::vector<std::unique_ptr<uint8_t[]>> &async_buffers) {
    const BridgeHandle h = g_handle;
    const uint8_t op = c.byte();
    switch (op % 34) {
    case 0:
        i2c_init(h, c.u32(), c.u32(), c.u32(), c.u32());
        break;
    case 1:
    case 4: {
        const unsigned n = c.u16() % 700;
        const std::vector<uint8_t> data = c.bytes(n);
        const int reg = c.byte(), mode = c.byte(), dev = c.byte();
        if (op % 34 == 1)
            i2c_write(h, n, reg, mode, dev, data.data());
        else
            sw_i2c_write(h, n, reg, mode, dev, data.data(), c.byte(), c.byte());
        break;
    }
    case 2:
    case 5: {
        const unsigned n = c.u16() % 700;
        Buffer out = Buffer::of(n, true);
        const int reg = c.byte(), mode = c.byte(), dev = c.byte();
        if (op % 34 == 2)
            i2c_read(h, n, reg, mode, dev, out.get());
        else
            sw_i2c_read(h, n, reg, mode, dev, out.get(), c.byte(), c.byte());
        break;
    }
    case 3:
        sw_i2c_set_pins(h, c.byte(), c.byte(), c.byte(), c.byte(), c.byte());
        break;
    case 6:
        pin_config(h, c.byte(), c.byte(), c.byte(), c.byte(), c.byte(), c.byte());
        break;
    case 7:
        pin_set(h, c.byte(), c.byte(), c.byte());
        break;
    case 8: {
        uint32_t levels = 0x5A5A5A5A;
        const bool given = c.byte() & 1;
        if (read_pin(h, c.byte(), given ? &levels : nullptr) == -1 && levels != 0x5A5A5A5A)
            fail("a failed pin read stored levels");
        break;
    }
    case 9: {
        const bool given = c.byte() & 1;
        Buffer in = Buffer::of(64, given), out = Buffer::of(64, given);
        if (given)
            c.fill(in.get(), 64);
        scantest(h, in.get(), out.get());
        break;
    }
    case 10:
        return_to_bootloader(h);
        break;
    case 11:
        start_firmware(h);
        break;
    case 12:
    case 13: {
        char text[12], untouched[12];
        memset(text, '#', sizeof text);
        memcpy(untouched, text, sizeof text);
        const bool given = c.byte() & 1;
        const int r = op % 34 == 12 ? get_bootloader_version(h, given ? text : nullptr)
                                    : get_firmware_version(h, given ? text : nullptr);
        if (given)
            check_version(r, text, untouched);
        break;
    }
    case 14: {
        const uint32_t n = c.u16() % 2100;
        const std::vector<uint8_t> image = c.bytes(n);
        send_firmware(h, n ? image.data() : nullptr, n);
        break;
    }
    case 15: {
        Buffer out = Buffer::of(64, c.byte() & 1);
        read_m(h, c.u32(), out.get());
        break;
    }
    case 16: {
        Buffer image = Buffer::of(16384, true);
        update_bootloader(h, image.get());
        break;
    }
    case 17: {
        const uint32_t n = c.u16() % 600;
        const std::vector<uint8_t> script = c.bytes(n);
        load_script(h, script.data(), c.u32(), n);
        break;
    }
    case 18: {
        Buffer result = Buffer::of(60, c.byte() & 1);
        execute_script(h, c.u32(), result.get());
        break;
    }
    case 19:
        init_adc(h, c.u32());
        break;
    case 20:
        read_adc(h, c.u32(), c.u32());
        break;
    case 21:
        init_pwm(h, c.byte() % 6, c.u32(), c.u32());
        break;
    case 22:
        set_pwm(h, c.u32(), static_cast<int32_t>(c.u32()));
        break;
    case 23: {
        const bool given = c.byte() & 1;
        std::unique_ptr<uint32_t[]> values(given ? new uint32_t[8]() : nullptr);
        load_lut(h, values.get(), c.u32());
        break;
    }
    case 24:
        start_dac_write(h, c.u32(), c.u32());
        break;
    case 25: {
        Buffer out = Buffer::of(56, c.byte() & 1);
        korra_read_fifo_packet(h, c.u32(), out.get(), nullptr, 0, 0, 0);
        break;
    }
    case 26: {
        const uint32_t request = c.byte() & 1 ? 0 : c.u32();
        korra_read_fifo_packet(h, request, nullptr, fifo_callback, c.byte(), c.u32(), c.u32());
        break;
    }
    case 27:
        korra_stop_packet_flow(h);
        break;
    case 28: {
        const uint32_t mode = c.byte() % 5, start = c.u16() % 300, count = c.u16() % 300;
        Buffer out = Buffer::of(count, c.byte() & 1);
        dti_transfer(h, mode, out.get(), start, count);
        break;
    }
    case 29: {
        const uint32_t mode = c.byte() % 4;
        const uint32_t n1 = c.u16() % 2100, n2 = c.u16() % 2100;
        const uint8_t present = c.byte();
        Buffer t1 = Buffer::of(n1, present & 1), t2 = Buffer::of(n2, present & 2);
        shake_table_ctrl(h, mode, t1.get(), t2.get(), n1, n2);
        break;
    }
    case 30: {
        // The buffer stays alive until the link is closed: a call that
        // returns without touching the link does not stop the read.
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[65]());
        void *ready = async_read(h, buffer.get());
        if (ready) {
            pollfd p{*static_cast<const int *>(ready), POLLIN, 0};
            if (poll(&p, 1, c.byte() & 1 ? 5 : 0) == 1) {
                if (bytesread > 65)
                    fail("bytesread above a report");
                for (size_t i = 0; i < 65; ++i)
                    g_sink += buffer[i];
            }
        }
        async_buffers.push_back(std::move(buffer));
        break;
    }
    case 31:
        c.fill(obuffer, sizeof obuffer);
        rd2(h);
        break;
    case 32: {
        Buffer data = Buffer::of(64, c.byte() & 1);
        if (data.get())
            c.fill(data.get(), 64);
        send_raw(h, data.get());
        break;
    }
    case 33:
        // A new link; the old handle must stop reaching anything.
        if (c.byte() & 1) {
            usb_hid_close(h);
        } else {
            g_handle = attach(c, replies);
            if (bridgeio::link_port(h) != nullptr)
                fail("an old handle still reaches the new link");
        }
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192)
        return -1;
    Stream control(data, size / 2);
    Stream replies(data + size / 2, size - size / 2);
    read_callback = nullptr;
    g_handle = attach(control, replies);

    std::vector<std::unique_ptr<uint8_t[]>> async_buffers;
    for (int calls = 0; calls < 64 && !control.empty(); ++calls) {
        one_call(control, replies, async_buffers);
        if (bytesread > bridgeio::kFrameSize)
            fail("bytesread above a report");
    }
    bridgeio::link_close();
    return 0;
}
