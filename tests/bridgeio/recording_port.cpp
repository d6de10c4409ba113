#include "recording_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bridgeio {

std::vector<HidAdapter> list_hid_adapters(uint16_t vendor_id, uint16_t product_id) {
    std::vector<HidAdapter> v;
    if (vendor_id == BRIDGEIO_VENDOR_ID && product_id == BRIDGEIO_PRODUCT_ID)
        for (const auto &a : test::hid_adapters)
            if (!a.id.vendor_id)
                v.push_back(a.id);
    return v;
}

std::unique_ptr<Port> open_hid_adapter(const HidAdapter &adapter, const Port *, int *error) {
    for (auto &a : test::hid_adapters)
        if (a.id.path == adapter.path && a.id.vendor_id && adapter.vendor_id) { // another device
            refused_node_id = {a.id.vendor_id, a.id.product_id};
            *error = kNotTheAdapterError;
            return nullptr;
        } else if (a.id.path == adapter.path) {
            *error = a.port ? 0 : a.error;
            return std::move(a.port);
        }
    *error = ENOENT;
    return nullptr;
}

namespace test {

std::vector<FakeHidAdapter> hid_adapters;

Bytes payload(uint32_t status, std::initializer_list<uint8_t> data) {
    Bytes p(kPayloadSize, 0);
    put_le32(p.data(), status);
    std::copy_n(data.begin(), std::min(data.size(), kPayloadSize - 4), p.begin() + 4);
    return p;
}

Bytes payload_words(uint32_t status, std::initializer_list<uint32_t> words) {
    Bytes p = payload(status);
    for (size_t i = 0; i < words.size(); ++i)
        put_le32(p.data() + 4 + 4 * i, words.begin()[i]);
    return p;
}

Bytes counting(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

void RecordingPort::discard_input() {
    while (!reads.empty() && reads.front().waiting)
        reads.pop_front();
}

int RecordingPort::write(const uint8_t *data, size_t len, int timeout_ms) {
    writes.emplace_back(data, data + len);
    write_timeouts.push_back(timeout_ms);
    const int r = write_results.empty() ? kPortOk : write_results.front();
    if (!write_results.empty())
        write_results.pop_front();
    if (r == kPortOk && responder && len == kFrameSize)
        responder(*this, data + 1);
    return r;
}

int RecordingPort::read(uint8_t *data, size_t len, int timeout_ms, size_t *got) {
    read_timeouts.push_back(timeout_ms);
    *got = 0;
    if (reads.empty() || (timeout_ms == 0 && !reads.front().waiting))
        return kPortTimeout;
    ReadStep step = std::move(reads.front());
    reads.pop_front();
    if (step.kind == ReadStep::Timeout || step.kind == ReadStep::IoError)
        return step.kind == ReadStep::Timeout ? kPortTimeout : kPortIoError;
    Bytes frame = step.bytes;
    if (transport_ == Transport::Hid)
        frame.insert(frame.begin(), 0x00); // report ID
    const size_t n = std::min(frame.size(), len);
    std::memcpy(data, frame.data(), n);
    *got = n;
    return transport_ == Transport::Serial && n < len ? kPortTimeout : kPortOk;
}

Adapter attach(Transport t) {
    auto port = std::make_unique<RecordingPort>(t);
    RecordingPort *p = port.get();
    return {p, link_attach(std::move(port))};
}

} // namespace test
} // namespace bridgeio
