// Stands in for the OS port: records every request, plays scripted replies.
#pragma once

#include "link.h"
#include "port/port.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <deque>
#include <functional>
#include <initializer_list>
#include <random>
#include <memory>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <poll.h>
#endif

namespace bridgeio::test {

// Waits at most `ms` for what async_read returned to be set: true when it is.
inline bool wait_event(void *event, int ms) {
#ifdef _WIN32
    return ::WaitForSingleObject(event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
#else
    pollfd p{*static_cast<int *>(event), POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
#endif
}

using Bytes = std::vector<uint8_t>;

struct ReadStep {
    enum Kind { Reply, Timeout, IoError } kind = Timeout;
    Bytes bytes;
    bool waiting = false; // already there before the next request
};

Bytes payload(uint32_t status, std::initializer_list<uint8_t> data = {});
Bytes payload_words(uint32_t status, std::initializer_list<uint32_t> words);
Bytes counting(size_t n, uint8_t seed); // seed, seed + 1, ...

// A table row's test name: its `name` field.
inline constexpr auto row_name = [](const auto &info) { return std::string(info.param.name); };
inline Bytes obuffer_bytes() { return Bytes(obuffer, obuffer + sizeof obuffer); }
inline ReadStep reply(Bytes p) { return {ReadStep::Reply, std::move(p)}; }
inline ReadStep reply_status(uint32_t status) { return reply(payload(status)); }
inline ReadStep timeout() { return {ReadStep::Timeout, {}}; }
inline ReadStep io_error() { return {ReadStep::IoError, {}}; }
inline ReadStep waiting(ReadStep s) {
    s.waiting = true;
    return s;
}

// A folder of its own in the system's temporary folder, removed whole;
// add() writes a file in it.
struct TempDir {
    std::string path = [] {
        const auto base = std::filesystem::temp_directory_path();
        for (unsigned n = std::random_device{}();; ++n) {
            const auto p = base / ("bridgeio-test-" + std::to_string(n));
            if (std::filesystem::create_directory(p))
                return p.string();
        }
    }();
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string add(const std::string &name, const std::string &content = "") const {
        std::ofstream(path + "/" + name, std::ios::binary) << content;
        return path + "/" + name;
    }
};

class RecordingPort : public Port {
  public:
    explicit RecordingPort(Transport t) : transport_(t) {}

    Transport transport() const override { return transport_; }
    int write(const uint8_t *data, size_t len, int timeout_ms) override;
    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override;
    void cancel() override { ++cancels; }
    void discard_input() override;
    bool node_gone(int wait_ms) override { return gone_after_ms >= 0 && gone_after_ms <= wait_ms; }

    const uint8_t *request(size_t i) const { return writes.at(i).data() + 1; }
    uint32_t request_word(size_t i, size_t offset) const { return get_le32(request(i) + offset); }

    std::vector<Bytes> writes; // every report written, whole
    std::vector<int> write_timeouts;
    std::vector<int> read_timeouts; // one per read call
    int cancels = 0;
    int gone_after_ms = -1; // the node goes this long after an exchange

    std::deque<int> write_results; // per write; kPortOk when empty
    std::deque<ReadStep> reads;    // per read; a time-out when empty
    std::function<void(RecordingPort &, const uint8_t *request)> responder;

  private:
    Transport transport_;
};

struct Adapter {
    RecordingPort *port = nullptr;
    BridgeHandle handle = BRIDGEIO_INVALID_HANDLE;
};
Adapter attach(Transport t);

class HidLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { a = attach(Transport::Hid); }
    void TearDown() override { link_close(); }

    Adapter a;
};

struct FakeHidAdapter {
    HidAdapter id; // with a USB ID: another HID device, never listed as an adapter
    int error = 0;
    std::unique_ptr<Port> port;
};
extern std::vector<FakeHidAdapter> hid_adapters;

} // namespace bridgeio::test
