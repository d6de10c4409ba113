// A port that stands in for the operating system in the library's tests:
// it records every request report and plays scripted replies, time-outs and
// I/O errors.
#pragma once

#include "link.h"
#include "port/port.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace bridgeio::test {

using Bytes = std::vector<uint8_t>;

// What one read of the port returns.
struct ReadStep {
    enum Kind { Reply, Raw, Timeout, IoError } kind = Timeout;
    // Reply: a 64-byte payload, framed the way the transport delivers it.
    // Raw: exactly what the port hands over (may be short or odd).
    Bytes bytes;
    // Already there before the next request: a reply that came too late
    // for its own. Only these reach a read that does not wait.
    bool waiting = false;
};

// A 64-byte reply payload: the status word, then `data` from byte 4.
Bytes payload(uint32_t status, std::initializer_list<uint8_t> data = {});
// A 64-byte reply payload: the status word, then 32-bit words from byte 4.
Bytes payload_words(uint32_t status, std::initializer_list<uint32_t> words);

inline ReadStep reply(Bytes p) {
    return {ReadStep::Reply, std::move(p)};
}
inline ReadStep reply_status(uint32_t status) {
    return reply(payload(status));
}
inline ReadStep raw(Bytes b) {
    return {ReadStep::Raw, std::move(b)};
}
inline ReadStep timeout() {
    return {ReadStep::Timeout, {}};
}
inline ReadStep io_error() {
    return {ReadStep::IoError, {}};
}
inline ReadStep waiting(ReadStep s) {
    s.waiting = true;
    return s;
}

class RecordingPort : public Port {
  public:
    explicit RecordingPort(Transport t) : transport_(t) {}

    Transport transport() const override { return transport_; }
    int write(const uint8_t *data, size_t len, int timeout_ms) override;
    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override;
    void cancel() override { ++cancels; }
    // Drops the reads marked as already waiting, as the kernel's queue
    // would give them up.
    void discard_input() override {
        ++discards;
        while (!reads.empty() && reads.front().waiting)
            reads.pop_front();
    }

    // The 64 bytes behind the first byte of request `i`.
    const uint8_t *request(size_t i) const { return writes.at(i).data() + 1; }
    uint32_t request_word(size_t i, size_t offset) const { return get_le32(request(i) + offset); }

    std::vector<Bytes> writes; // every report written, whole
    std::vector<int> write_timeouts;
    std::vector<int> read_timeouts; // one per read call
    std::vector<size_t> read_sizes;
    int cancels = 0;
    int discards = 0;

    std::deque<int> write_results; // per write; kPortOk when empty
    std::deque<ReadStep> reads;    // per read; a time-out when empty
    // Called after each successful write with the request payload; usually
    // queues the adapter's answer.
    std::function<void(RecordingPort &, const uint8_t *request)> responder;

  private:
    Transport transport_;
};

// Installs a new recording port as the open link.
struct Adapter {
    RecordingPort *port = nullptr;
    BridgeHandle handle = BRIDGEIO_INVALID_HANDLE;
};
Adapter attach(Transport t);

// A test whose open link is a fresh recording HID port.
class HidLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { a = attach(Transport::Hid); }
    void TearDown() override { link_close(); }

    Adapter a;
};

// What the test build's HID enumeration lists: each adapter opens into its
// port, or fails with its errno value.
struct FakeHidAdapter {
    HidAdapter id;
    int error = 0;
    std::unique_ptr<Port> port;
};
extern std::vector<FakeHidAdapter> hid_adapters;

} // namespace bridgeio::test
