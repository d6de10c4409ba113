// The hidraw port for real, without hardware: the port runs on one end of a
// SOCK_SEQPACKET socket pair (one report per read, like a hidraw node) and a
// fake adapter on the other end answers by script. It can stall (stop
// reading), answer short, numbered or in bursts, and unplug (close its end).
#include "link.h"
#include "port/hid.h"

#include <gtest/gtest.h>
#include <hidapi.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
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
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

// An unplugged fake adapter is a closed socket: writing to it must fail, not
// end the test with SIGPIPE (a hidraw node answers ENODEV instead).
const bool kNoSigpipe = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

long ms_since(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The adapter's side of the socket pair. `answer` turns a request report
// into the reports sent back (none, one, several, of any length).
class FakeAdapter {
  public:
    using Answer = std::function<std::vector<Bytes>(const Bytes &request)>;

    // `blocking`: the port's descriptor blocks on write when the adapter
    // does not read, as a hidraw write held by the kernel does.
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
    void send(const Bytes &report) {
        std::lock_guard lk(mu_);
        ASSERT_EQ(::send(dev_, report.data(), report.size(), 0), static_cast<ssize_t>(report.size()));
    }
    std::vector<Bytes> requests() {
        std::lock_guard lk(mu_);
        return requests_;
    }

    int port_fd = -1; // handed to the port, which owns it from then on

  private:
    void serve() {
        while (!quit_) {
            if (stalled_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            std::unique_lock lk(mu_);
            if (dev_ < 0)
                return;
            // Everything waiting is read first and answered in one burst.
            std::vector<Bytes> batch;
            for (;;) {
                pollfd p{dev_, POLLIN, 0};
                if (::poll(&p, 1, batch.empty() ? 5 : 0) <= 0 || !(p.revents & POLLIN))
                    break;
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
    std::vector<Bytes> requests_;
    std::atomic<bool> stalled_{false}, quit_{false};
    std::thread thread_;
};

// The reply an unnumbered adapter sends: 64 bytes, the request's command
// word and its byte 4 (a marker) echoed.
Bytes reply_to(const Bytes &request, size_t size = kPayloadSize) {
    Bytes r(size, 0xEE);
    std::memcpy(r.data(), request.data() + 1, std::min<size_t>(5, size));
    return r;
}
Bytes numbered(uint8_t id, Bytes payload) {
    payload.insert(payload.begin(), id);
    return payload;
}

constexpr uint64_t kNoNode = ~uint64_t{0};

struct HidrawLink : ::testing::Test {
    void TearDown() override { link_close(); }

    BridgeHandle attach(FakeAdapter &dev, const ReportLayout &layout = {}, int lock = -1,
                        uint64_t node = kNoNode) {
        int error = 0;
        return link_attach(make_hidraw_port(dev.port_fd, lock, node, layout, &error));
    }
    // One exchange with `marker` in byte 4; the reply's marker, or -1.
    int exchange(BridgeHandle h, uint8_t marker) {
        begin_command(cmd::kScanTest);
        obuffer[4] = marker;
        return rd2(h) == 0 ? obuffer[4] : -1;
    }
};

struct FramingRow {
    const char *name;
    ReportLayout layout;
    FakeAdapter::Answer answer;
    std::vector<Bytes> waiting; // already there before the request
    uint8_t request_id;         // byte 0 of the request on the wire
    int marker;                 // what the exchange returns
    size_t zero_from;           // obuffer is 0 from here on (short reply)
};

const ReportLayout kNumbered{true, 2, 3};

const FramingRow kFraming[] = {
    {"Unnumbered", {}, [](const Bytes &r) { return std::vector<Bytes>{reply_to(r)}; }, {}, 0, 7,
     64},
    {"NumberedTakesItsIdsAndSkipsOtherReports", kNumbered,
     [](const Bytes &r) {
         return std::vector<Bytes>{numbered(9, Bytes(64, 0x55)), numbered(2, reply_to(r))};
     },
     {}, 3, 7, 64},
    {"ShortReplyLeavesNoRequestBytesBehind", {},
     [](const Bytes &r) { return std::vector<Bytes>{reply_to(r, 5)}; }, {}, 0, 7, 5},
    {"StaleReportsBeforeTheRequestAreDropped", {},
     [](const Bytes &r) { return std::vector<Bytes>{reply_to(r)}; },
     {Bytes(64, 0x01), Bytes(64, 0x02), Bytes(3, 0x03)}, 0, 7, 64},
    {"BurstTakesTheFirstReportOnly", {},
     [](const Bytes &r) {
         Bytes late = reply_to(r);
         late[4] = 0x66;
         return std::vector<Bytes>{reply_to(r), late, late};
     },
     {}, 0, 7, 64},
};

class HidrawFraming : public HidrawLink, public ::testing::WithParamInterface<FramingRow> {};

TEST_P(HidrawFraming, ExchangesCarryTheRightBytes) {
    const FramingRow &row = GetParam();
    FakeAdapter dev(row.answer);
    dev.stall(true);
    for (const Bytes &b : row.waiting)
        dev.send(b);
    const BridgeHandle h = attach(dev, row.layout);
    dev.stall(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the stale input is there

    ASSERT_EQ(exchange(h, 7), row.marker);
    for (size_t i = row.zero_from; i < kPayloadSize; ++i)
        ASSERT_EQ(obuffer[i], 0) << i;
    // A burst's extra reports, there before the next request, answer nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(exchange(h, 8), 8);

    const std::vector<Bytes> seen = dev.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].size(), kFrameSize);
    EXPECT_EQ(seen[0][0], row.request_id);
    EXPECT_EQ(seen[0][1], cmd::kScanTest);
    EXPECT_EQ(seen[0][5], 7);
}

INSTANTIATE_TEST_SUITE_P(Rows, HidrawFraming, ::testing::ValuesIn(kFraming),
                         [](const auto &info) { return std::string(info.param.name); });

void on_alarm(int) {}

// A timer signal every 50 ms, delivered without SA_RESTART, for the test's
// lifetime.
struct AlarmStorm {
    struct sigaction old {};
    AlarmStorm() {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;
        sigaction(SIGALRM, &sa, &old);
        itimerval every{{0, 50'000}, {0, 50'000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~AlarmStorm() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

struct WaitRow {
    const char *name;
    bool write; // a write into a full queue, or a read with nothing coming
    int timeout_ms;
};

class HidrawDeadline : public HidrawLink, public ::testing::WithParamInterface<WaitRow> {};

TEST_P(HidrawDeadline, HoldsUnderSignals) {
    const WaitRow &row = GetParam();
    FakeAdapter dev([](const Bytes &) { return std::vector<Bytes>{}; });
    dev.stall(true);
    int error = 0;
    auto port = make_hidraw_port(dev.port_fd, -1, kNoNode, {}, &error);
    ASSERT_TRUE(port);
    uint8_t frame[kFrameSize] = {};
    if (row.write) { // fill the queue first; the last write gives up by itself
        for (int i = 0; i < 100 && port->write(frame, sizeof frame, 50) == kPortOk; ++i) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    AlarmStorm storm;
    const auto start = Clock::now();
    size_t got = 0;
    const int r = row.write ? port->write(frame, sizeof frame, row.timeout_ms)
                            : port->read(frame, sizeof frame, row.timeout_ms, &got);
    const long took = ms_since(start);
    EXPECT_EQ(r, kPortTimeout);
    EXPECT_GE(took, row.timeout_ms - 5);
    EXPECT_LT(took, row.timeout_ms + 150);
}

INSTANTIATE_TEST_SUITE_P(Rows, HidrawDeadline,
                         ::testing::Values(WaitRow{"Read", false, 400},
                                           WaitRow{"WriteRetry", true, 300}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(HidrawLink, UnpluggedAdapterFailsAtOnceBothWays) {
    FakeAdapter dev([](const Bytes &r) { return std::vector<Bytes>{reply_to(r)}; });
    const BridgeHandle h = attach(dev);
    ASSERT_EQ(exchange(h, 1), 1);
    dev.unplug();
    const auto start = Clock::now();
    EXPECT_EQ(exchange(h, 2), -1);
    Port *port = link_port(h);
    ASSERT_TRUE(port);
    uint8_t frame[kFrameSize] = {};
    size_t got = 0;
    EXPECT_EQ(port->read(frame, sizeof frame, 1000, &got), kPortIoError);
    EXPECT_EQ(port->write(frame, sizeof frame, -1), kPortIoError); // no limit, no hang
    EXPECT_EQ(port->write(frame, 0, 10), kPortIoError);             // no report
    EXPECT_EQ(port->read(frame, 1, 10, &got), kPortIoError);        // no room for a report
    EXPECT_LT(ms_since(start), 200);
}

// The port's descriptor blocks on write as soon as the stalled adapter's
// queue is full: the write that finds it full stays "in the kernel".
TEST_F(HidrawLink, StuckWriteFreesTheAdapterAndIsNotReopenedUntilItEnds) {
    FakeAdapter dev([](const Bytes &r) { return std::vector<Bytes>{reply_to(r)}; }, true);
    dev.stall(true);
    // The node's lock, on a file of its own, and the node's key: /dev/null
    // stands in for the hidraw node (it is no hidraw node once it opens).
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(open_hid_adapter({"/dev/null", ""}, nullptr, &error));
    EXPECT_EQ(error, ENOTTY);
}

TEST_F(HidrawLink, ReplyToAnAbandonedRequestIsNotTakenForTheNext) {
    // The adapter answers the abandoned request a little late, and the new
    // one at once; the requests queued before it (a socket queues, hidraw
    // does not) go unanswered.
    std::atomic<int> abandoned{-1};
    FakeAdapter dev(
        [&](const Bytes &r) {
            if (r[5] == abandoned)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            else if (r[5] != 99)
                return std::vector<Bytes>{};
            return std::vector<Bytes>{reply_to(r)};
        },
        true);
    dev.stall(true);
    constexpr uint64_t kNode = 0x5120;
    const BridgeHandle h = attach(dev, {}, -1, kNode);
    for (uint8_t marker = 1;; ++marker) {
        ASSERT_LT(marker, 50) << "the queue never filled";
        begin_command(cmd::kScanTest);
        obuffer[4] = marker;
        if (wr(h) != 0) {
            abandoned = marker;
            break;
        }
    }
    dev.stall(false); // the abandoned request reaches the adapter after all
    for (int i = 0; i < 200 && hid_write_stuck(kNode); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(exchange(h, 99), 99);
}

TEST(HidrawOpen, RefusesWhatIsNoHidrawNode) {
    char path[] = "/tmp/bridgeio-node-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    struct Row {
        std::string path;
        int error;
    } rows[] = {{path, ENOTTY}, {"/nonexistent/hidraw0", ENOENT}};
    for (const Row &row : rows) {
        int error = 0;
        EXPECT_FALSE(open_hid_adapter({row.path, ""}, nullptr, &error)) << row.path;
        EXPECT_EQ(error, row.error) << row.path;
    }
    ::unlink(path);
}

struct SelectRow {
    const char *name;
    std::vector<HidInterface> found;
    std::vector<std::string> chosen;
};

HidInterface iface(const char *path, const char *device, int number, const char *serial = "",
                   uint16_t vid = BRIDGEIO_VENDOR_ID, uint16_t pid = BRIDGEIO_PRODUCT_ID) {
    return {path, serial, device, vid, pid, number};
}

const SelectRow kSelect[] = {
    {"OtherIdsAndPathlessEntriesAreSkipped",
     {iface("/dev/hidraw0", "usb1/1-1", 0, "", 0x1234), iface("/dev/hidraw1", "usb1/1-2", 0, "", BRIDGEIO_VENDOR_ID, 1),
      iface("", "usb1/1-3", 0), iface("/dev/hidraw3", "usb1/1-4", 0)},
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

class HidSelect : public ::testing::TestWithParam<SelectRow> {};

TEST_P(HidSelect, KeepsTheAdaptersCommandInterfaces) {
    std::vector<std::string> paths;
    for (const HidAdapter &a :
         select_hid_adapters(GetParam().found, BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID))
        paths.push_back(a.path);
    EXPECT_EQ(paths, GetParam().chosen);
}

TEST(HidSelect, TakesHidapisListAsItComes) {
    // Linked as hidapi links it; no sysfs entry for these nodes.
    wchar_t serial[] = L"A\u00e91 ";
    hid_device_info second{};
    second.path = const_cast<char *>("/dev/hidraw-test-1");
    second.serial_number = serial;
    second.vendor_id = BRIDGEIO_VENDOR_ID;
    second.product_id = BRIDGEIO_PRODUCT_ID;
    second.interface_number = 0;
    hid_device_info first = second;
    first.path = const_cast<char *>("/dev/hidraw-test-2");
    first.interface_number = 1;
    first.next = &second;
    hid_device_info pathless = second;
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

TEST(HidrawOpen, NoAdapterPresentIsToldApart) {
    if (!list_hid_adapters(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID).empty())
        GTEST_SKIP() << "an adapter is plugged in";
    EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
    char text[128] = {};
    EXPECT_EQ(last_open_result(text, sizeof text), 0);
    EXPECT_STREQ(text, "no adapter with USB ID 1209:5120 is present");
}

INSTANTIATE_TEST_SUITE_P(Rows, HidSelect, ::testing::ValuesIn(kSelect),
                         [](const auto &info) { return std::string(info.param.name); });

struct DescriptorRow {
    const char *name;
    Bytes descriptor;
    bool usable;
    ReportLayout layout;
};

// Usage page (vendor), usage, collection; report size 8, count 64; input,
// output; end collection. `id` 0: no report ID item.
Bytes vendor_descriptor(uint8_t id, uint8_t in_count = 64, uint8_t out_count = 64) {
    Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    if (id)
        d.insert(d.end(), {0x85, id});
    d.insert(d.end(), {0x75, 0x08, 0x95, in_count, 0x81, 0x02, 0x95, out_count, 0x91, 0x02, 0xC0});
    return d;
}

const DescriptorRow kDescriptors[] = {
    {"Unnumbered", vendor_descriptor(0), true, {}},
    {"NumberedOne", vendor_descriptor(1), true, {true, 1, 1}},
    {"NumberedWithLongItemAndFourByteData",
     [] {
         Bytes d = {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x27, 0xFF, 0xFF, 0x00, 0x00};
         Bytes rest = vendor_descriptor(4);
         d.insert(d.end(), rest.begin(), rest.end());
         return d;
     }(),
     true, {true, 4, 4}},
    {"NumberedWithoutA64ByteReport", vendor_descriptor(1, 8, 8), false, {}},
    {"Truncated", {0x06, 0x00}, false, {}},
    {"LongItemCutShort", {0xFE, 0x02}, false, {}},
    {"ReportIdZero", {0x85, 0x00}, false, {}},
};

class ReportDescriptor : public ::testing::TestWithParam<DescriptorRow> {};

TEST_P(ReportDescriptor, TellsHowReportsAreNumbered) {
    const DescriptorRow &row = GetParam();
    ReportLayout layout{true, 77, 77};
    ASSERT_EQ(parse_report_layout(row.descriptor.data(), row.descriptor.size(), &layout), row.usable);
    if (row.usable) {
        EXPECT_EQ(layout.numbered, row.layout.numbered);
        EXPECT_EQ(layout.input_id, row.layout.input_id);
        EXPECT_EQ(layout.output_id, row.layout.output_id);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReportDescriptor, ::testing::ValuesIn(kDescriptors),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
