// The public calls (input's first half) over a HID or serial port answering from the
// second half; caller buffers exactly as large as each contract asks. Not called:
// start_demo, bt_init, usb_hid_init, load_firmware, fill-and-exchange calls (rd2 covers).
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "bridgeio.h"
#include "link.h"
#include "port/port.h"

namespace bridgeio { // no HID devices here: the fuzz port is attached directly
std::vector<HidAdapter> list_hid_adapters(uint16_t, uint16_t) { return {}; }
std::unique_ptr<Port> open_hid_adapter(const HidAdapter &, const Port *, int *) { return nullptr; }
} // namespace bridgeio

namespace {

using namespace bridgeio;

// Bytes taken one after another; zeros once they run out.
struct Stream {
    const uint8_t *data;
    size_t size, at = 0;
    bool empty() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t u16() { return byte() | uint32_t(byte()) << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    void fill(uint8_t *out, size_t n) { std::generate_n(out, n, [this] { return byte(); }); }
};

BridgeHandle g_handle = BRIDGEIO_INVALID_HANDLE;
unsigned g_sink = 0; // what the calls read, so that it is read

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
        if (len != kFrameSize)
            fail("a request that is not one frame");
        g_sink += data[0] + data[len - 1];
        worker_timed_out_ = false;
        const int outcomes[] = {kPortTimeout, kPortIoError};
        const uint8_t outcome = replies_.byte() & 0x0F; // mostly written
        return outcome < 2 ? outcomes[outcome] : kPortOk;
    }

    int read(uint8_t *data, size_t len, int, size_t *got) override {
        *got = 0;
        if (len == 0 || len > kFrameSize)
            fail("a read of an odd size");
        // The raw-read thread gets nothing after one time-out, so the bytes it
        // takes do not depend on when it is stopped.
        const bool worker = std::this_thread::get_id() != caller_;
        if ((worker && worker_timed_out_) || replies_.empty()) {
            if (worker)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            return kPortTimeout;
        }
        // Kinds: a whole report; a short one (HID) or part of one that stops
        // (serial); late: nothing (HID) or part of a report (serial); an error.
        const bool serial = transport_ == Transport::Serial;
        const uint8_t kind = replies_.byte() & 3;
        const size_t n = kind == 0   ? len
                         : kind == 1 ? replies_.byte() % (len + 1)
                         : kind == 2 ? (serial ? replies_.byte() % len : 0)
                                     : 0;
        const int result = kind == 3                          ? kPortIoError
                           : kind == 2 || (serial && n < len) ? kPortTimeout
                                                              : kPortOk;
        replies_.fill(data, n);
        *got = n;
        worker_timed_out_ = worker && result == kPortTimeout;
        return result;
    }

    void cancel() override {}
    void discard_input() override {}

  private:
    Transport transport_;
    Stream &replies_;
    std::thread::id caller_;
    std::atomic<bool> worker_timed_out_{false};
};

int fifo_callback(uint8_t *report, uint32_t d1, uint32_t d2, uint32_t d3) {
    g_sink += std::accumulate(report, report + kPayloadSize, d1 + d2 + d3);
    // The one call a callback may make: arming the next read.
    if (d1 & 1)
        korra_read_fifo_packet(g_handle, 0, nullptr, fifo_callback, d1 >> 1, d2, d3);
    return 0;
}

// n bytes (from `fill` when given), or none when `present` is false.
std::unique_ptr<uint8_t[]> buffer(size_t n, bool present, Stream *fill = nullptr) {
    std::unique_ptr<uint8_t[]> b(present ? new uint8_t[n ? n : 1]() : nullptr);
    if (b && fill)
        fill->fill(b.get(), n);
    return b;
}

BridgeHandle attach(Stream &control, Stream &replies) {
    const Transport t = control.byte() & 1 ? Transport::Serial : Transport::Hid;
    return link_attach(std::make_unique<FuzzPort>(t, replies, std::this_thread::get_id()));
}

Stream *g_replies = nullptr;
std::vector<std::unique_ptr<uint8_t[]>> g_kept; // buffers of reads that may still run

// The public calls, one entry each, their arguments taken from `c`.
void (*const kCalls[])(Stream &c, BridgeHandle h) = {
    [](Stream &c, BridgeHandle h) {
        const int op = c.byte() & 3;
        const unsigned n = c.u16() % 700;
        auto data = buffer(n, true, op < 2 ? &c : nullptr);
        const int reg = c.byte(), mode = c.byte(), dev = c.byte();
        if (op == 0)
            i2c_write(h, n, reg, mode, dev, data.get());
        else if (op == 1)
            sw_i2c_write(h, n, reg, mode, dev, data.get(), c.byte(), c.byte());
        else if (op == 2)
            i2c_read(h, n, reg, mode, dev, data.get());
        else
            sw_i2c_read(h, n, reg, mode, dev, data.get(), c.byte(), c.byte());
    },
    [](Stream &c, BridgeHandle h) {
        uint32_t levels = 0x5A5A5A5A;
        const bool given = c.byte() & 1;
        if (read_pin(h, c.byte(), given ? &levels : nullptr) == -1 && levels != 0x5A5A5A5A)
            fail("a failed pin read stored levels");
    },
    [](Stream &c, BridgeHandle h) {
        auto in = buffer(64, c.byte() & 1, &c);
        scantest(h, in.get(), buffer(64, in != nullptr).get());
    },
    [](Stream &c, BridgeHandle h) {
        char text[12];
        memset(text, '#', sizeof text);
        char *given = c.byte() & 1 ? text : nullptr;
        const int r = (c.byte() & 1 ? get_bootloader_version : get_firmware_version)(h, given);
        if (given && (r == -1 ? memcmp(text, "############", 12) != 0 : !memchr(text, '\0', 12)))
            fail(r == -1 ? "a failed version read wrote the text" : "a version text without end");
    },
    [](Stream &c, BridgeHandle h) {
        const uint32_t n = c.u16() % 2100;
        send_firmware(h, buffer(n, n != 0, &c).get(), n);
    },
    [](Stream &c, BridgeHandle h) { read_m(h, c.u32(), buffer(64, c.byte() & 1).get()); },
    [](Stream &, BridgeHandle h) { update_bootloader(h, buffer(16384, true).get()); },
    [](Stream &c, BridgeHandle h) {
        const uint32_t n = c.u16() % 600;
        auto script = buffer(n, true, &c);
        load_script(h, script.get(), c.u32(), n);
    },
    [](Stream &c, BridgeHandle h) { execute_script(h, c.u32(), buffer(60, c.byte() & 1).get()); },
    [](Stream &c, BridgeHandle h) { init_pwm(h, c.byte() % 6, c.u32(), c.u32()); },
    [](Stream &c, BridgeHandle h) {
        korra_read_fifo_packet(h, c.u32(), buffer(56, c.byte() & 1).get(), nullptr, 0, 0, 0);
    },
    [](Stream &c, BridgeHandle h) {
        const uint32_t request = c.byte() & 1 ? 0 : c.u32();
        korra_read_fifo_packet(h, request, nullptr, fifo_callback, c.byte(), c.u32(), c.u32());
    },
    [](Stream &, BridgeHandle h) { korra_stop_packet_flow(h); },
    [](Stream &c, BridgeHandle h) {
        const uint32_t mode = c.byte() % 5, start = c.u16() % 300, count = c.u16() % 300;
        dti_transfer(h, mode, buffer(count, c.byte() & 1).get(), start, count);
    },
    [](Stream &c, BridgeHandle h) {
        const uint32_t mode = c.byte() % 4, n1 = c.u16() % 2100, n2 = c.u16() % 2100;
        const uint8_t in = c.byte();
        shake_table_ctrl(h, mode, buffer(n1, in & 1).get(), buffer(n2, in & 2).get(), n1, n2);
    },
    [](Stream &c, BridgeHandle h) {
        // The buffer lives until the link closes: the read may outlast the call.
        g_kept.push_back(buffer(65, true));
        uint8_t *into = g_kept.back().get();
        if (void *ready = async_read(h, into)) {
            pollfd p{*static_cast<const int *>(ready), POLLIN, 0};
            if (poll(&p, 1, c.byte() & 1 ? 5 : 0) == 1)
                g_sink += std::accumulate(into, into + 65, 0u);
        }
    },
    [](Stream &c, BridgeHandle h) { c.fill(obuffer, sizeof obuffer); rd2(h); }, // fill-and-exchange
    [](Stream &c, BridgeHandle h) { send_raw(h, buffer(64, c.byte() & 1, &c).get()); },
    [](Stream &c, BridgeHandle h) {
        if (c.byte() & 1) // closed, or a new link that the old handle must not reach
            usb_hid_close(h);
        else if (g_handle = attach(c, *g_replies); link_port(h) != nullptr)
            fail("an old handle still reaches the new link");
    },
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192)
        return -1;
    Stream control{data, size / 2};
    Stream replies{data + size / 2, size - size / 2};
    read_callback = nullptr;
    g_handle = attach(control, replies);

    g_replies = &replies;
    for (int calls = 0; calls < 64 && !control.empty(); ++calls) {
        kCalls[control.byte() % std::size(kCalls)](control, g_handle);
        if (bytesread > kFrameSize)
            fail("bytesread above a report");
    }
    link_close();
    g_kept.clear();
    return 0;
}
