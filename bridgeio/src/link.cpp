// The report link: the library's global buffers, the one open port behind a
// handle, request and reply framing, and the exchange with its retry rule.
#include "link.h"
#include "link_state.h"

#include <chrono>
#include <cstring>

// Exported data. The library serves one adapter and one caller at a time;
// these are the buffers every command shares.
BRIDGEIO_API uint8_t obuffer[64];
BRIDGEIO_API uint8_t obuffer2[65];
BRIDGEIO_API uint32_t bytesread;
BRIDGEIO_API BridgeReadCallback read_callback;
BRIDGEIO_API uint32_t cb_data;
BRIDGEIO_API uint32_t cb_data2;
BRIDGEIO_API uint32_t cb_data3;
BRIDGEIO_API uint32_t cprds[4];
BRIDGEIO_API uint32_t cs;

namespace bridgeio {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

size_t reply_frame_size(Transport t) {
    return t == Transport::Hid ? kFrameSize : kPayloadSize;
}

} // namespace

LinkState &link_state() {
    // Never destroyed: a port must not be closed during static destruction,
    // when the objects it relies on (hidapi, the virtual kit) may be gone.
    static LinkState *state = new LinkState;
    return *state;
}

BridgeHandle link_attach(std::unique_ptr<Port> port) {
    if (!port)
        return BRIDGEIO_INVALID_HANDLE;
    link_close();
    LinkState &s = link_state();
    s.transport = port->transport();
    s.port = std::move(port);
    s.identified = false;
    // Tokens, not addresses: a handle is only ever compared, so a stale one
    // can never reach freed memory. 0 and all ones are never handed out.
    if (++s.token == 0 || s.token == ~uintptr_t{0})
        s.token = 1;
    return reinterpret_cast<BridgeHandle>(s.token);
}

void link_replace_port(std::unique_ptr<Port> port) {
    LinkState &s = link_state();
    settle_raw_read();
    s.async_armed = false;
    s.async_got = 0;
    s.transport = port->transport();
    s.port = std::move(port);
}

void link_close() {
    LinkState &s = link_state();
    settle_raw_read();
    s.async_armed = false;
    s.async_got = 0;
    s.port.reset();
}

Port *link_port(BridgeHandle handle) {
    LinkState &s = link_state();
    if (!s.port || handle == BRIDGEIO_INVALID_HANDLE ||
        reinterpret_cast<uintptr_t>(handle) != s.token)
        return nullptr;
    return s.port.get();
}

const Port *link_current_port() {
    return link_state().port.get();
}

Transport link_transport() {
    return link_state().transport;
}

void begin_command(uint32_t word) {
    std::memset(obuffer, 0, sizeof obuffer);
    put_le32(obuffer, word);
}

int wr(BridgeHandle handle) {
    Port *port = link_port(handle);
    if (!port)
        return kPortIoError;
    settle_raw_read();
    // A report that is already waiting belongs to the armed asynchronous
    // read; hand it over before the request goes out.
    complete_async(*port, 0);
    port = link_port(handle); // the callback may have used the library
    if (!port)
        return kPortIoError;
    // Whatever else is waiting answers an earlier request (a reply that came
    // after its time-out) or nothing at all: it must not pair with this one.
    port->discard_input();

    obuffer2[0] = link_transport() == Transport::Hid ? kHidReportId : kSerialSync;
    std::memcpy(obuffer2 + 1, obuffer, kPayloadSize);
    int r = port->write(obuffer2, kFrameSize, kWriteTimeoutMs);
    bytesread = r == kPortOk ? kFrameSize : 0;
    if (r == kPortTimeout)
        port->cancel();
    return r == kPortOk ? 0 : r == kPortTimeout ? kPortTimeout : kPortIoError;
}

int rd(BridgeHandle handle) {
    bytesread = 0;
    Port *port = link_port(handle);
    if (!port)
        return kPortIoError;
    settle_raw_read();

    // An armed asynchronous read was started before this one, so it gets the
    // first report that arrives; both share the one read time-out.
    int wait_ms = kReadTimeoutMs;
    if (link_state().async_armed) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
        int r = complete_async(*port, kReadTimeoutMs);
        if (r != kPortOk)
            return r;
        port = link_port(handle); // the callback may have used the library
        if (!port)
            return kPortIoError;
        wait_ms = remaining_ms(deadline);
    }

    const size_t want = reply_frame_size(link_transport());
    obuffer2[0] = 0;
    size_t got = 0;
    int r = port->read(obuffer2, want, wait_ms, &got);
    bytesread = static_cast<uint32_t>(got);
    if (r != kPortOk) {
        if (r == kPortTimeout)
            port->cancel();
        return r == kPortTimeout ? kPortTimeout : kPortIoError;
    }
    // A short report leaves no bytes of the request behind in the reply.
    if (got < want)
        std::memset(obuffer2 + got, 0, want - got);
    const uint8_t *payload = link_transport() == Transport::Hid ? obuffer2 + 1 : obuffer2;
    std::memcpy(obuffer, payload, kPayloadSize);
    return 0;
}

void drain(BridgeHandle handle) {
    uint8_t scratch[kFrameSize];
    size_t got = 0;
    const bool hid = link_transport() == Transport::Hid;
    // The armed read's callback runs inside complete_async and may close or
    // reopen the link: the port is looked up again after every report.
    for (bool quiet_wait_done = false;;) {
        Port *port = link_port(handle);
        if (!port)
            return;
        const int wait_ms = hid && !quiet_wait_done ? 0 : kDrainWaitMs;
        const int r = link_state().async_armed ? complete_async(*port, wait_ms)
                                               : port->read(scratch, hid ? kFrameSize : 1, wait_ms,
                                                            &got);
        if (r == kPortOk)
            continue;
        // HID: nothing waiting now; one more report may still be on its way.
        if (hid && !quiet_wait_done && r == kPortTimeout) {
            quiet_wait_done = true;
            continue;
        }
        break;
    }
    if (Port *port = link_port(handle))
        port->cancel();
    // Whatever was still armed will not get a report from a stopped stream.
    link_state().async_armed = false;
    link_state().async_got = 0;
}

} // namespace bridgeio

using namespace bridgeio;

extern "C" {

BRIDGEIO_API int usb_hid_close(BridgeHandle handle) {
    if (!link_port(handle))
        return 0;
    link_close();
    return 1;
}

BRIDGEIO_API int rd2(BridgeHandle handle) {
    const int attempts = link_transport() == Transport::Serial ? kSerialAttempts : 1;
    for (int i = 0; i < attempts; ++i) {
        if (wr(handle) != 0)
            return -1;
        if (rd(handle) == 0)
            return 0;
        // Part of a reply arrived: the adapter took the request, so sending
        // it again would only bring a second reply to mix with this one's
        // remains. (rd dropped the part; the next request flushes the rest.)
        if (bytesread > 0)
            return -1;
        // Nothing arrived: the request is still in obuffer, and a serial
        // attempt sends it again.
    }
    return -1;
}

BRIDGEIO_API int send_raw(BridgeHandle handle, const uint8_t *data) {
    if (!data)
        return kPortIoError;
    std::memcpy(obuffer, data, kPayloadSize);
    return wr(handle);
}

} // extern "C"
