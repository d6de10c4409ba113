// The two reads that do not end inside the call that starts them.
//
// rd_async arms a read whose report is delivered to read_callback on the
// caller's own thread, during the library's next wait on the link: the
// write or read of any exchange, or the drain that ends a packet stream. The
// armed read is first in line, so it receives the first report that arrives.
//
// async_read reads one raw report into the caller's buffer on a worker
// thread and signals a pollable descriptor when it is there. The worker
// alone uses the port until it ends; any other use of the link first stops
// it (settle_raw_read), so the port and bytesread never see two threads of
// the library at once.
#include "link_state.h"
#include "port/event.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace bridgeio {

namespace {

// How often a waiting raw read checks whether it has been abandoned.
constexpr int kRawReadSliceMs = 50;

struct RawRead {
    std::thread worker;
    std::atomic<bool> stop{false};
    ReadyEvent event;
};

RawRead &raw_read() {
    static RawRead *r = new RawRead; // never destroyed, like the link itself
    return *r;
}

void raw_read_worker(Port *port, uint8_t *dst, size_t len) {
    RawRead &rr = raw_read();
    size_t off = 0;
    while (!rr.stop.load()) {
        size_t got = 0;
        int r = port->read(dst + off, len - off, kRawReadSliceMs, &got);
        off += std::min(got, len - off);
        if (r == kPortOk || r == kPortIoError || off == len) {
            // bytesread is the caller's: written here only because the
            // caller may not look at it before the descriptor is readable
            // (or before its next call, which joins this thread first), and
            // the descriptor is set only after it, with a fence in between.
            bytesread = static_cast<uint32_t>(off);
            std::atomic_thread_fence(std::memory_order_release);
            rr.event.set();
            return;
        }
    }
}

} // namespace

void settle_raw_read() {
    RawRead &rr = raw_read();
    if (!rr.worker.joinable())
        return;
    rr.stop = true;
    rr.worker.join();
    rr.stop = false;
}

int rd_async(BridgeHandle handle) {
    if (!link_port(handle))
        return kPortIoError;
    LinkState &s = link_state();
    if (s.async_armed)
        return kPortIoError;
    settle_raw_read();
    obuffer2[0] = 0;
    s.async_armed = true;
    s.async_got = 0;
    return 0;
}

int complete_async(Port &port, int wait_ms) {
    LinkState &s = link_state();
    if (!s.async_armed)
        return kPortOk;
    const size_t want = s.transport == Transport::Hid ? kFrameSize : kPayloadSize;
    size_t got = 0;
    int r = port.read(s.async_frame + s.async_got, want - s.async_got, wait_ms, &got);
    s.async_got += std::min(got, want - s.async_got);
    if (r == kPortIoError) {
        s.async_armed = false;
        s.async_got = 0;
        return kPortIoError;
    }
    if (r != kPortOk)
        return kPortTimeout;

    std::memset(s.async_frame + s.async_got, 0, want - s.async_got);
    std::memcpy(obuffer2, s.async_frame, want);
    bytesread = static_cast<uint32_t>(s.async_got);
    // Disarm first: the callback may arm the next read.
    s.async_armed = false;
    s.async_got = 0;
    rd_async_callback(0, bytesread, nullptr);
    return kPortOk;
}

} // namespace bridgeio

using namespace bridgeio;

extern "C" {

BRIDGEIO_API void rd_async_callback(uint32_t, uint32_t, void *) {
    if (!read_callback)
        return;
    uint8_t *payload = link_transport() == Transport::Hid ? obuffer2 + 1 : obuffer2;
    read_callback(payload, cb_data, cb_data2, cb_data3);
}

BRIDGEIO_API void *async_read(BridgeHandle handle, uint8_t *buffer) {
    Port *port = link_port(handle);
    if (!port || !buffer || link_state().async_armed)
        return nullptr;
    settle_raw_read();
    RawRead &rr = raw_read();
    if (!rr.event.open())
        return nullptr;
    rr.event.reset();

    // The payload lands at byte 1 on both transports: HID reports bring
    // their report ID in byte 0, serial replies have none.
    const bool hid = link_transport() == Transport::Hid;
    uint8_t *dst = hid ? buffer : buffer + 1;
    const size_t len = hid ? kFrameSize : kPayloadSize;
    buffer[0] = 0;
    try {
        // A closure type has no linkage, so the thread's internals stay
        // out of the library's exported symbols.
        rr.worker = std::thread([port, dst, len] { raw_read_worker(port, dst, len); });
    } catch (...) {
        return nullptr;
    }
    return rr.event.waitable();
}

} // extern "C"
