// The Windows HID port for real, without hardware: the port runs on the
// client end of a message-mode named pipe (one report per read, like a HID
// device); a fake adapter on the server end answers by script, stalls or
// unplugs. The framing rows are the hidraw harness's.
#include "hid_fault_rows.h"
#include "port/hid_win.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

using namespace bridgeio;
using namespace bridgeio::hid_rows;
using Clock = std::chrono::steady_clock;

namespace {

long ms_since(Clock::time_point t) {
    return static_cast<long>((Clock::now() - t) / std::chrono::milliseconds(1));
}
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The adapter's end of the pipe. Unnumbered replies get their report ID 0 in
// front, as Windows delivers every report.
class FakeAdapter {
  public:
    FakeAdapter(Answer answer, bool numbered = false, DWORD buffer = 4096)
        : answer_(std::move(answer)), numbered_(numbered) {
        static std::atomic<int> serial{0};
        const std::string name = "\\\\.\\pipe\\bridgeio-hid-" + std::to_string(::GetCurrentProcessId()) +
                                 "-" + std::to_string(serial++);
        dev_ = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, buffer,
                                  buffer, 0, nullptr);
        EXPECT_NE(dev_, INVALID_HANDLE_VALUE);
        port_handle = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(port_handle, INVALID_HANDLE_VALUE);
        DWORD mode = PIPE_READMODE_MESSAGE;
        ::SetNamedPipeHandleState(port_handle, &mode, nullptr, nullptr);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeAdapter() {
        quit_ = true;
        thread_.join();
        unplug();
    }
    void stall(bool on) { stalled_ = on; }
    void unplug() {
        std::lock_guard lk(mu_);
        if (dev_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(dev_);
        dev_ = INVALID_HANDLE_VALUE;
    }
    void send(Bytes r) {
        std::lock_guard lk(mu_);
        put(r);
    }
    Reports requests() {
        std::lock_guard lk(mu_);
        return requests_;
    }
    HANDLE port_handle = INVALID_HANDLE_VALUE; // the port owns it once handed over

  private:
    void put(Bytes r) {
        if (!numbered_)
            r.insert(r.begin(), 0);
        DWORD n = 0;
        ::WriteFile(dev_, r.data(), static_cast<DWORD>(r.size()), &n, nullptr);
    }
    void serve() {
        while (!quit_) {
            sleep_ms(2);
            if (stalled_)
                continue;
            std::lock_guard lk(mu_);
            if (dev_ == INVALID_HANDLE_VALUE)
                return;
            Reports batch; // everything waiting is read first and answered in one burst
            for (DWORD avail = 0; ::PeekNamedPipe(dev_, nullptr, 0, nullptr, &avail, nullptr) && avail;) {
                Bytes r(avail);
                DWORD n = 0;
                if (!::ReadFile(dev_, r.data(), avail, &n, nullptr))
                    break;
                r.resize(n);
                batch.push_back(r);
            }
            for (const Bytes &r : batch) {
                requests_.push_back(r);
                for (const Bytes &out : answer_(r))
                    put(out);
            }
        }
    }
    Answer answer_;
    bool numbered_;
    HANDLE dev_ = INVALID_HANDLE_VALUE;
    std::mutex mu_;
    Reports requests_;
    std::atomic<bool> stalled_{false}, quit_{false};
    std::thread thread_;
};

std::unique_ptr<Port> make_port(FakeAdapter &dev, const RowLayout &l = {}, const char *key = "pipe") {
    int error = 0;
    WinReportLayout layout;
    layout.numbered = l.numbered;
    layout.input_id = l.input_id;
    layout.output_id = l.output_id;
    return make_win_hid_port(dev.port_handle, layout, key, false, &error);
}

struct WinHidLink : ::testing::Test {
    void TearDown() override { link_close(); }
};

TEST_F(WinHidLink, ExchangesCarryTheRightBytes) {
    for (const FramingRow &row : kFraming) {
        SCOPED_TRACE(row.name);
        FakeAdapter dev(row.answer, row.layout.numbered);
        dev.stall(true);
        for (const Bytes &b : row.waiting)
            dev.send(b);
        const BridgeHandle h = link_attach(make_port(dev, row.layout));
        dev.stall(false);
        sleep_ms(10);
        ASSERT_EQ(exchange(h, 7), 7);
        for (size_t i = row.zero_from; i < kPayloadSize; ++i)
            ASSERT_EQ(obuffer[i], 0) << i;
        sleep_ms(10);
        EXPECT_EQ(exchange(h, 8), 8);
        const Reports seen = dev.requests();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].size(), kFrameSize);
        EXPECT_EQ(Bytes(seen[0].begin(), seen[0].begin() + 6),
                  (Bytes{row.request_id, cmd::kScanTest, 0, 0, 0, 7}));
        link_close();
    }
}

// A read with nothing coming ends on time and is cancelled: the reply that
// comes after it is there for the next read, not lost in a cancelled one.
TEST(WinHidDeadline, ReadTimesOutAndIsCancelled) {
    FakeAdapter dev(silent);
    auto port = make_port(dev);
    ASSERT_TRUE(port);
    uint8_t frame[kFrameSize] = {};
    size_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(port->read(frame, sizeof frame, 300, &got), kPortTimeout);
    EXPECT_GE(ms_since(start), 295);
    EXPECT_LT(ms_since(start), 450);
    dev.send(Bytes(64, 0x42));
    EXPECT_EQ(port->read(frame, sizeof frame, 1000, &got), kPortOk);
    EXPECT_EQ(got, kFrameSize);
    EXPECT_EQ(frame[0], 0);
    EXPECT_EQ(frame[1], 0x42);
}

// A write into a pipe the stalled adapter does not read ends on time, is
// cancelled, and the port takes writes again once the adapter reads.
TEST(WinHidDeadline, WriteTimesOutAndIsCancelled) {
    FakeAdapter dev(silent, false, 64);
    dev.stall(true);
    auto port = make_port(dev);
    ASSERT_TRUE(port);
    uint8_t frame[kFrameSize] = {};
    int r = kPortOk;
    for (int i = 0; i < 100 && (r = port->write(frame, sizeof frame, 50)) == kPortOk; ++i) {
    }
    ASSERT_EQ(r, kPortTimeout) << "the pipe never filled";
    const auto start = Clock::now();
    EXPECT_EQ(port->write(frame, sizeof frame, 300), kPortTimeout);
    EXPECT_GE(ms_since(start), 295);
    EXPECT_LT(ms_since(start), 500);
    EXPECT_FALSE(hid_write_stuck("pipe"));
    dev.stall(false);
    EXPECT_EQ(port->write(frame, sizeof frame, 1000), kPortOk);
}

TEST_F(WinHidLink, UnpluggedAdapterFailsAtOnceAndIsGone) {
    FakeAdapter dev(echo);
    const BridgeHandle h = link_attach(make_port(dev));
    ASSERT_EQ(exchange(h, 1), 1);
    Port *port = link_port(h);
    ASSERT_TRUE(port);
    EXPECT_FALSE(port->node_gone(0));
    dev.unplug();
    const auto start = Clock::now();
    EXPECT_EQ(exchange(h, 2), -1);
    uint8_t frame[kFrameSize] = {};
    size_t got = 0;
    EXPECT_EQ(port->read(frame, sizeof frame, 1000, &got), kPortIoError);
    EXPECT_EQ(port->write(frame, sizeof frame, -1), kPortIoError); // no limit, no hang
    EXPECT_EQ(port->write(frame, 0, 10), kPortIoError);             // no report
    EXPECT_EQ(port->read(frame, 1, 10, &got), kPortIoError);        // no room for a report
    EXPECT_TRUE(port->node_gone(0));
    EXPECT_LT(ms_since(start), 200);
}

// The request goes out but its reply comes after the time-out: that reply
// waits in the pipe and must not be taken for the next request's.
TEST_F(WinHidLink, LateReplyIsNotTakenForTheNext) {
    std::atomic<bool> slow{true};
    FakeAdapter dev([&](const Bytes &r) {
        if (slow.exchange(false))
            sleep_ms(1200); // past the link's 1000 ms
        return echo(r);
    });
    const BridgeHandle h = link_attach(make_port(dev));
    EXPECT_EQ(exchange(h, 5), -1);
    sleep_ms(300); // the late reply is there now
    EXPECT_EQ(exchange(h, 6), 6);
}

// What is no HID device at all is refused by kind; a missing one as gone.
TEST(WinHidOpen, RefusalsAreToldApart) {
    int error = 0;
    EXPECT_FALSE(open_hid_adapter({"\\\\?\\hid#vid_1209&pid_5120#none#{0}", ""}, nullptr, &error));
    EXPECT_TRUE(error == ENOENT || error == EIO) << error;
    char dir[MAX_PATH];
    ASSERT_GT(::GetTempPathA(sizeof dir, dir), 0u);
    const std::string file = std::string(dir) + "bridgeio-not-hid.bin";
    const HANDLE f = ::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    ::CloseHandle(f);
    EXPECT_FALSE(open_hid_adapter({file, ""}, nullptr, &error)); // a file, no HID device
    EXPECT_EQ(error, ENOTTY);
    ::DeleteFileA(file.c_str());
}

TEST(WinHidOpen, NoAdapterPresentIsToldApart) {
    if (!list_hid_adapters(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID).empty())
        GTEST_SKIP() << "an adapter is plugged in";
    EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
    char text[128] = {};
    EXPECT_EQ(last_open_result(text, sizeof text), 0);
    EXPECT_STREQ(text, "no adapter with USB ID 1209:5120 is present");
}

} // namespace
