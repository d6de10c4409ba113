// Faults a real adapter link produces, one row each: the link must give the
// right data or a failure, never another request's reply, and an opening
// that fails must say why and leave the open link alone.
#include "port/serial.h"
#include "pty_peer.h"
#include "recording_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace bridgeio;
using namespace bridgeio::test;

namespace {

using Clock = std::chrono::steady_clock;

Bytes answer(uint8_t tag) {
    return payload(0, {tag, static_cast<uint8_t>(tag + 1)});
}

int exchange(BridgeHandle h) {
    begin_command(cmd::kReadPin);
    return rd2(h);
}

std::string open_text(int *outcome) {
    char text[256];
    *outcome = last_open_result(text, sizeof text);
    return text;
}

// The pty peer answers the next request: reads it, then writes `parts` of the
// reply with `gap_ms` between them. The number of requests it saw in
// `window_ms` is stored in *requests.
std::thread answer_on(const Pty &pty, std::vector<Bytes> parts, int gap_ms, int window_ms,
                      size_t *requests) {
    return std::thread([&pty, parts, gap_ms, window_ms, requests] {
        const Bytes req = pty.read_master(kFrameSize, 2000);
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i)
                std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
            pty.write_master(parts[i]);
        }
        *requests = req.size() / kFrameSize +
                    pty.read_master(10 * kFrameSize, window_ms).size() / kFrameSize;
    });
}

struct SerialPeer {
    Pty pty;
    Output out;
    BridgeHandle h = bt_open(pty.name().c_str(), nullptr, out.file());
};

struct FaultRow {
    const char *name;
    std::function<void()> run;
};

const FaultRow kRows[] = {
    {"LostReplyThenLateReply",
     [] {
         Adapter a = attach(Transport::Hid);
         a.port->reads = {timeout(), timeout(), waiting(reply(answer(0x10))), reply(answer(0x30))};
         EXPECT_EQ(exchange(a.handle), -1); // lost
         EXPECT_EQ(exchange(a.handle), -1); // its reply comes late, before the next request
         ASSERT_EQ(exchange(a.handle), 0);
         EXPECT_EQ(obuffer_bytes(), answer(0x30));
     }},
    {"SerialReplySplitAcrossTheTimeOutIsDroppedNotResent",
     [] {
         SerialPeer s;
         ASSERT_NE(s.h, BRIDGEIO_INVALID_HANDLE);
         const Bytes late = answer(0x40);
         size_t requests = 0;
         std::thread peer = answer_on(s.pty, {Bytes(late.begin(), late.begin() + 30),
                                              Bytes(late.begin() + 30, late.end())},
                                      1300, 200, &requests);
         EXPECT_EQ(exchange(s.h), -1);
         peer.join();
         EXPECT_EQ(requests, 1u); // part of a reply came: not sent again
         std::thread next = answer_on(s.pty, {answer(0x50)}, 0, 0, &requests);
         EXPECT_EQ(exchange(s.h), 0);
         next.join();
         EXPECT_EQ(obuffer_bytes(), answer(0x50));
     }},
    {"StalledSerialWriteFailsWithinItsBoundAndQueuesNothing",
     [] {
         SerialPeer s;
         ASSERT_NE(s.h, BRIDGEIO_INVALID_HANDLE);
         s.pty.stall(true);
         const auto t0 = Clock::now();
         EXPECT_EQ(exchange(s.h), -1);
         EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(600));
         s.pty.stall(false);
         size_t requests = 0;
         std::thread peer = answer_on(s.pty, {answer(0x60)}, 0, 300, &requests);
         EXPECT_EQ(exchange(s.h), 0);
         peer.join();
         EXPECT_EQ(obuffer_bytes(), answer(0x60));
         EXPECT_EQ(requests, 1u); // no copy of the stalled request behind it
     }},
    {"CallbackClosingTheLinkDuringTheDrain",
     [] {
         static Adapter a;
         static int calls;
         a = attach(Transport::Hid);
         calls = 0;
         // The first packet re-arms the read; the second, in the drain,
         // closes the link under it.
         BridgeReadCallback cb = [](uint8_t *, uint32_t, uint32_t, uint32_t) {
             if (++calls == 1)
                 return korra_read_fifo_packet(a.handle, 0, nullptr, read_callback, 0, 0, 0);
             return usb_hid_close(a.handle);
         };
         ASSERT_EQ(korra_read_fifo_packet(a.handle, 0, nullptr, cb, 0, 0, 0), 0);
         a.port->reads = {reply(answer(1)), reply(payload_words(0, {9})), reply(answer(2)),
                          reply(answer(3))};
         EXPECT_EQ(korra_stop_packet_flow(a.handle), 9);
         EXPECT_EQ(calls, 2);
         EXPECT_EQ(exchange(a.handle), -1); // the link is gone, nothing else broke
         read_callback = nullptr;
     }},
    {"IdsBeyondSixteenBitsMatchNothing",
     [] {
         hid_adapters.clear();
         hid_adapters.push_back({{"/dev/hidraw4", "A1"}, 0, std::make_unique<RecordingPort>(Transport::Hid)});
         int outcome = 9;
         EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID + 0x10000, BRIDGEIO_PRODUCT_ID + 0x10000),
                   BRIDGEIO_INVALID_HANDLE);
         EXPECT_EQ(open_text(&outcome), "no adapter: 11209:15120 is not a USB ID");
         EXPECT_EQ(outcome, 0);
         EXPECT_NE(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
     }},
    {"FailedOpenKeepsTheOpenLinkAndNamesThePermissionProblem",
     [] {
         Adapter a = attach(Transport::Hid);
         hid_adapters.clear();
         hid_adapters.push_back({{"/dev/hidraw5", ""}, EACCES, nullptr});
         EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
         int outcome = 0;
         const std::string text = open_text(&outcome);
         EXPECT_EQ(outcome, -1);
         EXPECT_EQ(text.rfind("cannot open /dev/hidraw5: permission denied", 0), 0u) << text;
         EXPECT_NE(text.find("udev rule"), std::string::npos);
         a.port->reads.push_back(reply(answer(0x70)));
         EXPECT_EQ(exchange(a.handle), 0);
         TempDir dir; // just plugged in: udev has not applied the rule yet
         hid_adapters[0].id.path = dir.add("hidraw8");
         EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
         EXPECT_NE(open_text(&outcome).find("is still being set up"), std::string::npos);
         EXPECT_EQ(outcome, 0);
     }},
    {"SelectionByEnvironmentOpensTheNamedAdapter",
     [] {
         hid_adapters.clear();
         hid_adapters.push_back({{"/dev/hidraw1", "FIRST"}, 0, std::make_unique<RecordingPort>(Transport::Hid)});
         hid_adapters.push_back({{"/dev/hidraw2", "SECOND"}, 0, std::make_unique<RecordingPort>(Transport::Hid)});
         int outcome = 0;
         ::setenv("BRIDGEIO_ADAPTER", "SECOND", 1);
         EXPECT_NE(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
         EXPECT_EQ(open_text(&outcome), "opened /dev/hidraw2 (serial number SECOND)");
         EXPECT_EQ(outcome, 1);
         ::setenv("BRIDGEIO_ADAPTER", "THIRD", 1);
         EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
         EXPECT_EQ(last_open_result(nullptr, 0), -1);
         ::unsetenv("BRIDGEIO_ADAPTER");
     }},
    {"NamedHidNodeOfAnotherDeviceGetsNothing",
     [] {
         TempDir dir;
         const std::string node = dir.path + "/hidraw77"; // a device node sysfs does not know
         if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(240, 77)) != 0)
             GTEST_SKIP() << "cannot make a device node here";
         hid_adapters.push_back({{node, "", 0x046d, 0xc31c}, 0, std::make_unique<RecordingPort>(Transport::Hid)});
         ::setenv("BRIDGEIO_ADAPTER", node.c_str(), 1);
         EXPECT_EQ(usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID), BRIDGEIO_INVALID_HANDLE);
         ::unsetenv("BRIDGEIO_ADAPTER");
         int outcome = 0;
         EXPECT_EQ(open_text(&outcome), node + " is 046d:c31c, not the adapter");
     }},
    {"ModeSwitchFollowsANodeThatGoesBehindAHub",
     [] {
         hid_adapters.push_back({{"/dev/hidraw1", "SER"}, 0, std::make_unique<RecordingPort>(Transport::Hid)});
         auto *old_port = static_cast<RecordingPort *>(hid_adapters[0].port.get());
         const BridgeHandle h = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
         old_port->reads = {reply(answer(1))};
         old_port->gone_after_ms = 256; // a USB 2.0 hub reports the disconnect this late
         hid_adapters[0] = {{"/dev/hidraw2", "SER"}, 0, std::make_unique<RecordingPort>(Transport::Hid)};
         EXPECT_EQ(return_to_bootloader(h), 0);
         int outcome = 0;
         EXPECT_EQ(open_text(&outcome), "reopened /dev/hidraw2 (serial number SER) after the adapter re-enumerated");
     }},
    {"RfcommWaitsForTheChannelAndGivesTheFirstExchangeTheConnectBudget",
     [] {
         const auto t0 = Clock::now();
         EXPECT_TRUE(wait_for_link([&] { return Clock::now() - t0 >= std::chrono::milliseconds(150); }, 1000));
         EXPECT_FALSE(wait_for_link([] { return -1; }, 1000)); // nothing can tell: no wait
         Pty pty;
         auto port = make_serial_port(::open(pty.name().c_str(), O_RDWR | O_NONBLOCK), -1, 0, 600);
         pty.stall(true); // the channel is still paging the board
         const auto t1 = Clock::now();
         EXPECT_EQ(port->write(Bytes(kFrameSize).data(), kFrameSize, kWriteTimeoutMs), kPortTimeout);
         EXPECT_GE(Clock::now() - t1, std::chrono::milliseconds(550));
         EXPECT_LT(t1 - t0, std::chrono::milliseconds(300));
     }},
    {"LockHeldByAnotherOpener",
     [] {
         Pty pty;
         const int other = ::open(pty.name().c_str(), O_RDWR | O_NOCTTY);
         ASSERT_GE(other, 0);
         ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
         Output quiet;
         EXPECT_EQ(bt_open(pty.name().c_str(), nullptr, quiet.file()), BRIDGEIO_INVALID_HANDLE);
         int outcome = 0;
         const std::string text = open_text(&outcome);
         EXPECT_EQ(outcome, -1);
         EXPECT_NE(text.find("in use by another program"), std::string::npos) << text;
         ::close(other); // released: now it opens, and holds the lock itself
         EXPECT_NE(bt_open(pty.name().c_str(), nullptr, quiet.file()), BRIDGEIO_INVALID_HANDLE);
         const int third = ::open(pty.name().c_str(), O_RDWR | O_NOCTTY);
         EXPECT_TRUE(third < 0 || ::flock(third, LOCK_EX | LOCK_NB) != 0);
         if (third >= 0)
             ::close(third);
     }},
};

class LinkFault : public ::testing::TestWithParam<FaultRow> {
  protected:
    void TearDown() override {
        link_close();
        hid_adapters.clear();
    }
};

TEST_P(LinkFault, GivesTheRightDataOrAFailure) {
    GetParam().run();
}

INSTANTIATE_TEST_SUITE_P(Rows, LinkFault, ::testing::ValuesIn(kRows), row_name);

} // namespace
