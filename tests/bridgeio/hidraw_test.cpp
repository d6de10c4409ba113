// The hidraw port for real, without hardware: the port runs on one end of a
// SOCK_SEQPACKET socket pair (one report per read, like a hidraw node); a
// fake adapter on the other end answers by script, stalls or unplugs.
#include "link.h"
#include "hid_fault_rows.h"
#include "port/hid.h"

#include <gtest/gtest.h>
#include <hidapi.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

using namespace bridgeio;
using namespace bridgeio::hid_rows;
using Clock = std::chrono::steady_clock;

namespace {

// An unplugged adapter is a closed socket: writing must fail, not raise SIGPIPE.
const bool kNoSigpipe = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

long ms_since(Clock::time_point t) {
    return static_cast<long>((Clock::now() - t) / std::chrono::milliseconds(1));
}
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The adapter's side of the socket pair; `answer` turns a request into the
// reports sent back. `blocking`: the port's writes block while the adapter
// does not read, as a hidraw write held by the kernel does.
class FakeAdapter {
  public:
    using Answer = std::function<Reports(const Bytes &request)>;

    explicit FakeAdapter(Answer answer, bool blocking = false) : answer_(std::move(answer)) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        port_fd = sv[0];
        dev_ = sv[1];
        if (!blocking)
            ::fcntl(port_fd, F_SETFL, O_NONBLOCK);
        const int small = 1; // the kernel's minimum: a few reports fill it
        ::setsockopt(port_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
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
        if (dev_ >= 0)
            ::close(dev_);
        dev_ = -1;
    }
    void send(const Bytes &r) {
        std::lock_guard lk(mu_);
        ASSERT_EQ(::send(dev_, r.data(), r.size(), 0), static_cast<ssize_t>(r.size()));
    }
    Reports requests() {
        std::lock_guard lk(mu_);
        return requests_;
    }
    int port_fd = -1; // the port owns it once handed over

  private:
    void serve() {
        while (!quit_) {
            if (stalled_) {
                sleep_ms(5);
                continue;
            }
            std::lock_guard lk(mu_);
            if (dev_ < 0)
                return;
            Reports batch; // everything waiting is read first and answered in one burst
            for (pollfd p{dev_, POLLIN, 0}; ::poll(&p, 1, batch.empty() ? 5 : 0) > 0;) {
                Bytes r(128);
                const ssize_t n = ::recv(dev_, r.data(), r.size(), 0);
                if (n <= 0)
                    break;
                r.resize(static_cast<size_t>(n));
                batch.push_back(r);
            }
            for (const Bytes &r : batch) {
                requests_.push_back(r);
                for (const Bytes &out : answer_(r))
                    ::send(dev_, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
    }
    Answer answer_;
    int dev_ = -1;
    std::mutex mu_;
    Reports requests_;
    std::atomic<bool> stalled_{false}, quit_{false};
    std::thread thread_;
};

constexpr uint64_t kNoNode = ~uint64_t{0};

struct HidrawLink : ::testing::Test {
    void TearDown() override { link_close(); }

    BridgeHandle attach(FakeAdapter &dev, const ReportLayout &layout = {}, int lock = -1,
                        uint64_t node = kNoNode) {
        int error = 0;
        return link_attach(make_hidraw_port(dev.port_fd, lock, node, layout, &error));
    }
};

TEST_F(HidrawLink, ExchangesCarryTheRightBytes) {
  for (const FramingRow &row : kFraming) {
    SCOPED_TRACE(row.name);
    FakeAdapter dev(row.answer);
    dev.stall(true);
    for (const Bytes &b : row.waiting)
        dev.send(b);
    const BridgeHandle h =
        attach(dev, {row.layout.numbered, row.layout.input_id, row.layout.output_id});
    dev.stall(false);
    sleep_ms(10); // the stale input is there
    ASSERT_EQ(exchange(h, 7), 7);
    for (size_t i = row.zero_from; i < kPayloadSize; ++i)
        ASSERT_EQ(obuffer[i], 0) << i;
    sleep_ms(10); // a burst's extra reports, there before the next request, answer nothing
    EXPECT_EQ(exchange(h, 8), 8);
    const Reports seen = dev.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].size(), kFrameSize);
    EXPECT_EQ(Bytes(seen[0].begin(), seen[0].begin() + 6),
              (Bytes{row.request_id, cmd::kScanTest, 0, 0, 0, 7}));
    link_close();
  }
}

// A timer signal every 50 ms, without SA_RESTART, for the storm's lifetime.
struct AlarmStorm {
    struct sigaction old {}, sa {};
    itimerval every{{0, 50'000}, {0, 50'000}}, off{};
    AlarmStorm() {
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, &old);
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~AlarmStorm() {
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

// A read with nothing coming, or a write into a full queue, ends on time.
TEST(HidrawDeadline, HoldsUnderSignals) {
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    const int timeout_ms = write ? 300 : 400;
    FakeAdapter dev(silent);
    dev.stall(true);
    int error = 0;
    auto port = make_hidraw_port(dev.port_fd, -1, kNoNode, {}, &error);
    ASSERT_TRUE(port);
    uint8_t frame[kFrameSize] = {};
    for (int i = 0; write && i < 100 && port->write(frame, sizeof frame, 50) == kPortOk; ++i) {
    } // the queue fills; the last write gives up by itself
    sleep_ms(write ? 30 : 0);
    AlarmStorm storm;
    const auto start = Clock::now();
    size_t got = 0;
    EXPECT_EQ(write ? port->write(frame, sizeof frame, timeout_ms)
                    : port->read(frame, sizeof frame, timeout_ms, &got),
              kPortTimeout);
    EXPECT_GE(ms_since(start), timeout_ms - 5);
    EXPECT_LT(ms_since(start), timeout_ms + 150);
  }
}

// Also as a re-enumerating adapter leaves: its node is seen going within the wait.
TEST_F(HidrawLink, UnpluggedAdapterFailsAtOnceBothWays) {
    FakeAdapter dev(echo);
    const BridgeHandle h = attach(dev);
    ASSERT_EQ(exchange(h, 1), 1);
    Port *port = link_port(h);
    EXPECT_FALSE(port->node_gone(50));
    std::thread leave([&] { sleep_ms(100), dev.unplug(); });
    EXPECT_TRUE(port->node_gone(500));
    leave.join();
    const auto start = Clock::now();
    EXPECT_EQ(exchange(h, 2), -1);
    uint8_t frame[kFrameSize] = {};
    size_t got = 0;
    EXPECT_EQ(port->read(frame, sizeof frame, 1000, &got), kPortIoError);
    EXPECT_EQ(port->write(frame, sizeof frame, -1), kPortIoError); // no limit, no hang
    EXPECT_EQ(port->write(frame, 0, 10), kPortIoError);             // no report
    EXPECT_EQ(port->read(frame, 1, 10, &got), kPortIoError);        // no room for a report
    EXPECT_LT(ms_since(start), 200);
}

// The write that finds the stalled adapter's queue full stays "in the
// kernel". /dev/null stands in for the node: its key, and no hidraw node once
// it opens; the node's lock is a file of its own.
TEST_F(HidrawLink, StuckWriteFreesTheAdapterAndIsNotReopenedUntilItEnds) {
    FakeAdapter dev(echo, true);
    dev.stall(true);
    char lock_path[] = "/tmp/bridgeio-lock-XXXXXX";
    const int lock = ::mkstemp(lock_path);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    struct stat null_node;
    ASSERT_EQ(::stat("/dev/null", &null_node), 0);
    const BridgeHandle h = attach(dev, {}, lock, null_node.st_rdev);
    begin_command(cmd::kScanTest);
    int sent = 0;
    while (sent < 100 && wr(h) == 0)
        ++sent;
    ASSERT_LT(sent, 100) << "the queue never filled";
    ASSERT_TRUE(hid_write_stuck(null_node.st_rdev));
    auto start = Clock::now();
    EXPECT_EQ(wr(h), -1); // still stuck: fails at once
    EXPECT_LT(ms_since(start), 50);

    link_close(); // the writer is left behind with the node
    const int other = ::open(lock_path, O_RDONLY);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0) << "the lock went with the writer";
    ::close(other);
    ::unlink(lock_path);
    int error = 0;
    start = Clock::now();
    EXPECT_FALSE(open_hid_adapter({"/dev/null", ""}, nullptr, &error));
    EXPECT_EQ(error, kStuckWriteError);
    EXPECT_LT(ms_since(start), 50);

    dev.stall(false); // the write ends
    for (int i = 0; i < 200 && hid_write_stuck(null_node.st_rdev); ++i)
        sleep_ms(5);
    EXPECT_FALSE(open_hid_adapter({"/dev/null", ""}, nullptr, &error));
    EXPECT_EQ(error, ENOTTY);
}

// The abandoned request is answered late (signals do not end that wait), the
// new one at once; the ones queued before it (a socket queues) never.
TEST_F(HidrawLink, ReplyToAnAbandonedRequestIsNotTakenForTheNext) {
    std::atomic<int> abandoned{-1};
    AlarmStorm storm;
    FakeAdapter dev(
        [&](const Bytes &r) {
            if (r[5] == abandoned)
                sleep_ms(70);
            return r[5] == abandoned || r[5] == 99 ? echo(r) : Reports{};
        },
        true);
    dev.stall(true);
    const BridgeHandle h = attach(dev, {}, -1, 0x5120);
    for (uint8_t marker = 1; abandoned < 0; ++marker) {
        ASSERT_LT(marker, 50) << "the queue never filled";
        begin_command(cmd::kScanTest);
        obuffer[4] = marker;
        if (wr(h) != 0)
            abandoned = marker;
    }
    dev.stall(false); // the abandoned request reaches the adapter after all
    for (int i = 0; i < 200 && hid_write_stuck(0x5120); ++i)
        sleep_ms(1);
    EXPECT_EQ(exchange(h, 99), 99);
}

// What is no hidraw node at all: ENOTTY (/dev/null, above); missing: ENOENT.
TEST(HidrawOpen, MissingNodeIsToldApart) {
    int error = 0;
    EXPECT_FALSE(open_hid_adapter({"/nonexistent/hidraw0", ""}, nullptr, &error));
    EXPECT_EQ(error, ENOENT);
}

TEST(HidrawOpen, NoAdapterPresentIsToldApart) {
    if (!list_hid_adapters(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID).empty())
        GTEST_SKIP() << "an adapter is plugged in";
    EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
    char text[128] = {};
    EXPECT_EQ(last_open_result(text, sizeof text), 0);
    EXPECT_STREQ(text, "no adapter with USB ID 1209:5120 is present");
}

HidInterface iface(const char *path, const char *device, int number, const char *serial = "",
                   uint16_t vid = BRIDGEIO_VENDOR_ID, uint16_t pid = BRIDGEIO_PRODUCT_ID) {
    return {path, serial, device, vid, pid, number};
}

struct SelectRow {
    const char *name;
    std::vector<HidInterface> found;
    std::vector<std::string> chosen;
};

const SelectRow kSelect[] = {
    {"OtherIdsAndPathlessEntriesAreSkipped",
     {iface("/dev/hidraw0", "usb1/1-1", 0, "", 0x1234),
      iface("/dev/hidraw1", "usb1/1-2", 0, "", BRIDGEIO_VENDOR_ID, 1), iface("", "usb1/1-3", 0),
      iface("/dev/hidraw3", "usb1/1-4", 0)},
     {"/dev/hidraw3"}},
    {"OneInterfacePerAdapterTheLowestEvenWhenListedLater",
     {iface("/dev/hidraw5", "usb1/1-1", 1), iface("/dev/hidraw4", "usb1/1-1", 0),
      iface("/dev/hidraw6", "usb1/1-2", 1)},
     {"/dev/hidraw4", "/dev/hidraw6"}},
    {"WithoutSysfsTheSerialNumberGroupsInterfaces",
     {iface("/dev/hidraw1", "", 0, "A"), iface("/dev/hidraw2", "", 1, "A"),
      iface("/dev/hidraw3", "", 0, "B"), iface("/dev/hidraw4", "", 0, "")},
     {"/dev/hidraw1", "/dev/hidraw3", "/dev/hidraw4"}},
};

TEST(HidSelect, KeepsTheAdaptersCommandInterfaces) {
    for (const SelectRow &row : kSelect) {
        std::vector<std::string> paths;
        for (const HidAdapter &a : select_hid_adapters(row.found, BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID))
            paths.push_back(a.path);
        EXPECT_EQ(paths, row.chosen) << row.name;
    }
}

// hidapi's list as it comes: no sysfs entry for these nodes, one pathless.
TEST(HidSelect, TakesHidapisListAsItComes) {
    wchar_t serial[] = L"A\u00e91 ";
    hid_device_info second{};
    second.path = const_cast<char *>("/dev/hidraw-test-1");
    second.serial_number = serial;
    second.vendor_id = BRIDGEIO_VENDOR_ID;
    second.product_id = BRIDGEIO_PRODUCT_ID;
    hid_device_info first = second, pathless = second;
    first.path = const_cast<char *>("/dev/hidraw-test-2");
    first.interface_number = 1;
    first.next = &second;
    pathless.path = nullptr;
    pathless.next = &first;
    const std::vector<HidInterface> found = describe_hid_devices(&pathless);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].serial, "A?1?");
    EXPECT_EQ(found[0].device, "");
    // The IDs and interface numbers come along: the lower interface is chosen.
    const auto adapters = select_hid_adapters(found, BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_EQ(adapters[0].path, "/dev/hidraw-test-1");
}

// Usage page (vendor), usage, collection; [report ID]; report size 8,
// count 64; input, output; end collection.
Bytes vendor_descriptor(uint8_t id, uint8_t count = 64, Bytes before = {}) {
    Bytes d = before;
    d.insert(d.end(), {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01});
    if (id)
        d.insert(d.end(), {0x85, id});
    d.insert(d.end(), {0x75, 0x08, 0x95, count, 0x81, 0x02, 0x95, count, 0x91, 0x02, 0xC0});
    return d;
}

struct DescriptorRow {
    const char *name;
    Bytes descriptor;
    bool usable;
    ReportLayout layout;
};

const DescriptorRow kDescriptors[] = {
    {"Unnumbered", vendor_descriptor(0), true, {}},
    {"NumberedWithLongItemAndFourByteData",
     vendor_descriptor(4, 64, {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x27, 0xFF, 0xFF, 0x00, 0x00}), true,
     {true, 4, 4}},
    {"NumberedWithoutA64ByteReport", vendor_descriptor(1, 8), false, {}},
    {"Truncated", {0x06, 0x00}, false, {}},
    {"LongItemCutShort", {0xFE, 0x02}, false, {}},
    {"ReportIdZero", {0x85, 0x00}, false, {}},
};

TEST(ReportDescriptor, TellsHowReportsAreNumbered) {
    for (const DescriptorRow &row : kDescriptors) {
        ReportLayout l{true, 77, 77};
        const bool usable = parse_report_layout(row.descriptor.data(), row.descriptor.size(), &l);
        EXPECT_EQ(usable, row.usable) << row.name;
        if (usable) {
            EXPECT_EQ(std::tie(l.numbered, l.input_id, l.output_id),
                      std::tie(row.layout.numbered, row.layout.input_id, row.layout.output_id))
                << row.name;
        }
    }
}

} // namespace
