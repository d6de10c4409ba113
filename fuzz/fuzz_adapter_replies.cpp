// The adapter library facing an adapter that answers anything: the public
// calls, chosen by the first half of the input, over a port whose write and
// read outcomes and reply bytes come from the second half (whole, short, late
// or no reports, HID and serial), apart so that the raw-read thread can take
// reply bytes meanwhile. Caller buffers are exactly as large as each call's
// contract asks. Not called: the fill-and-exchange calls (the rd2 case covers
// their exchange), start_demo (a real sleep), bt_init and usb_hid_init (system
// devices), load_firmware (the firmware image target covers it).
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

// No HID devices here: the fuzz port is attached directly.
std::vector<bridgeio::HidAdapter> bridgeio::list_hid_adapters(uint16_t, uint16_t) {
    return {};
}
std::unique_ptr<bridgeio::Port> bridgeio::open_hid_adapter(const HidAdapter &, const Port *,
                                                           int *) {
    return nullptr;
}

namespace {

using bridgeio::Port;
using bridgeio::Transport;

// Bytes taken one after another; zeros once they run out.
struct Stream {
    const uint8_t *data;
    size_t size, at = 0;
    bool empty() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t u16() { return byte() | uint32_t(byte()) << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    void fill(uint8_t *out, size_t n) {
        std::generate_n(out, n, [this] { return byte(); });
    }
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
        if (len != bridgeio::kFrameSize)
            fail("a request that is not one frame");
        g_sink += data[0] + data[len - 1];
        worker_timed_out_ = false;
        const uint8_t outcome = replies_.byte() & 0x0F; // mostly written
        return outcome == 0   ? bridgeio::kPortTimeout
               : outcome == 1 ? bridgeio::kPortIoError
                              : bridgeio::kPortOk;
    }

    int read(uint8_t *data, size_t len, int, size_t *got) override {
        *got = 0;
        if (len == 0 || len > bridgeio::kFrameSize)
            fail("a read of an odd size");
        // The raw-read thread keeps asking until it is stopped; after one
        // time-out it gets nothing more, so the bytes it takes do not depend
        // on when it is stopped.
        const bool worker = std::this_thread::get_id() != caller_;
        if ((worker && worker_timed_out_) || replies_.empty()) {
            if (worker)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            return bridgeio::kPortTimeout;
        }
        const bool serial = transport_ == Transport::Serial;
        int result = bridgeio::kPortOk;
        size_t n = len; // kind 0: a whole report
        const uint8_t kind = replies_.byte() & 3;
        if (kind == 1) { // a short report (HID) or part of one that stops (serial)
            n = replies_.byte() % (len + 1);
            result = serial && n < len ? bridgeio::kPortTimeout : result;
        } else if (kind == 2) { // late: nothing (HID) or part of a report (serial)
            n = serial ? replies_.byte() % len : 0;
            result = bridgeio::kPortTimeout;
        } else if (kind == 3) {
            n = 0;
            result = bridgeio::kPortIoError;
        }
        replies_.fill(data, n);
        *got = n;
        worker_timed_out_ = worker && result == bridgeio::kPortTimeout;
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
    g_sink += std::accumulate(report, report + bridgeio::kPayloadSize, d1 + d2 + d3);
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
    return bridgeio::link_attach(
        std::make_unique<FuzzPort>(t, replies, std::this_thread::get_id()));
}

using Kept = std::vector<std::unique_ptr<uint8_t[]>>; // buffers of reads that may still run
Stream *g_replies = nullptr;

// The public calls, one entry each, their arguments taken from `c`.
void (*const kCalls[])(Stream &c, BridgeHandle h, Kept &kept) = {
    [](Stream &c, BridgeHandle h, Kept &) {
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
    [](Stream &c, BridgeHandle h, Kept &) {
        uint32_t levels = 0x5A5A5A5A;
        const bool given = c.byte() & 1;
        if (read_pin(h, c.byte(), given ? &levels : nullptr) == -1 && levels != 0x5A5A5A5A)
            fail("a failed pin read stored levels");
    },
    [](Stream &c, BridgeHandle h, Kept &) {
        auto in = buffer(64, c.byte() & 1, &c);
        scantest(h, in.get(), buffer(64, in != nullptr).get());
    },
    [](Stream &c, BridgeHandle h, Kept &) {
        char text[12];
        memset(text, '#', sizeof text);
        char *given = c.byte() & 1 ? text : nullptr;
        const int r =
            c.byte() & 1 ? get_bootloader_version(h, given) : get_firmware_version(h, given);
        if (given && r == -1 && memcmp(text, "############", 12) != 0)
            fail("a failed version read wrote the text");
        if (given && r != -1 && memchr(text, '\0', 12) == nullptr)
            fail("a version text without terminator");
    },
    [](Stream &c, BridgeHandle h, Kept &) {
        const uint32_t n = c.u16() % 2100;
        send_firmware(h, buffer(n, n != 0, &c).get(), n);
    },
    [](Stream &c, BridgeHandle h, Kept &) { read_m(h, c.u32(), buffer(64, c.byte() & 1).get()); },
    [](Stream &, BridgeHandle h, Kept &) { update_bootloader(h, buffer(16384, true).get()); },
    [](Stream &c, BridgeHandle h, Kept &) {
        const uint32_t n = c.u16() % 600;
        auto script = buffer(n, true, &c);
        load_script(h, script.get(), c.u32(), n);
    },
    [](Stream &c, BridgeHandle h, Kept &) {
        execute_script(h, c.u32(), buffer(60, c.byte() & 1).get());
    },
    [](Stream &c, BridgeHandle h, Kept &) { init_pwm(h, c.byte() % 6, c.u32(), c.u32()); },
    [](Stream &c, BridgeHandle h, Kept &) {
        korra_read_fifo_packet(h, c.u32(), buffer(56, c.byte() & 1).get(), nullptr, 0, 0, 0);
    },
    [](Stream &c, BridgeHandle h, Kept &) {
        const uint32_t request = c.byte() & 1 ? 0 : c.u32();
        korra_read_fifo_packet(h, request, nullptr, fifo_callback, c.byte(), c.u32(), c.u32());
    },
    [](Stream &, BridgeHandle h, Kept &) { korra_stop_packet_flow(h); },
    [](Stream &c, BridgeHandle h, Kept &) {
        const uint32_t mode = c.byte() % 5, start = c.u16() % 300, count = c.u16() % 300;
        dti_transfer(h, mode, buffer(count, c.byte() & 1).get(), start, count);
    },
    [](Stream &c, BridgeHandle h, Kept &) {
        const uint32_t mode = c.byte() % 4, n1 = c.u16() % 2100, n2 = c.u16() % 2100;
        const uint8_t present = c.byte();
        shake_table_ctrl(h, mode, buffer(n1, present & 1).get(), buffer(n2, present & 2).get(), n1,
                         n2);
    },
    [](Stream &c, BridgeHandle h, Kept &kept) {
        // The buffer stays alive until the link is closed: a call that
        // returns without touching the link does not stop the read.
        kept.push_back(buffer(65, true));
        uint8_t *into = kept.back().get();
        if (void *ready = async_read(h, into)) {
            pollfd p{*static_cast<const int *>(ready), POLLIN, 0};
            if (poll(&p, 1, c.byte() & 1 ? 5 : 0) == 1)
                g_sink += std::accumulate(into, into + 65, 0u);
        }
    },
    [](Stream &c, BridgeHandle h, Kept &) {
        c.fill(obuffer, sizeof obuffer); // the exchange of every fill-and-exchange call
        rd2(h);
    },
    [](Stream &c, BridgeHandle h, Kept &) { send_raw(h, buffer(64, c.byte() & 1, &c).get()); },
    [](Stream &c, BridgeHandle h, Kept &) {
        // A new link; the old handle must stop reaching anything.
        if (c.byte() & 1) {
            usb_hid_close(h);
            return;
        }
        g_handle = attach(c, *g_replies);
        if (bridgeio::link_port(h) != nullptr)
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
    Kept kept;
    for (int calls = 0; calls < 64 && !control.empty(); ++calls) {
        kCalls[control.byte() % std::size(kCalls)](control, g_handle, kept);
        if (bytesread > bridgeio::kFrameSize)
            fail("bytesread above a report");
    }
    bridgeio::link_close();
    return 0;
}
