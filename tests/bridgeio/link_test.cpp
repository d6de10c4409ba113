// The report link: framing, the exchange and its retry rule, handles,
// opening over HID, and the asynchronous reads.
#include "recording_port.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using namespace bridgeio;
using namespace bridgeio::test;

namespace {

class LinkTest : public ::testing::Test {
  protected:
    void TearDown() override {
        link_close();
        read_callback = nullptr;
    }
};

Bytes pattern(uint8_t seed) { return counting(kPayloadSize, seed); }


struct RetryCase {
    const char *name;
    Transport transport;
    std::vector<int> write_results;
    std::vector<ReadStep> reads;
    int result;
    size_t writes;
    size_t reads_made;
    int cancels;
};

class Exchange : public LinkTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(Exchange, FollowsTheRetryRuleOfItsTransport) {
    const RetryCase &c = GetParam();
    Adapter a = attach(c.transport);
    a.port->write_results.assign(c.write_results.begin(), c.write_results.end());
    a.port->reads.assign(c.reads.begin(), c.reads.end());
    begin_command(0xA9);
    obuffer[4] = 7;
    obuffer[63] = 0x5C;
    const Bytes request = obuffer_bytes();

    EXPECT_EQ(rd2(a.handle), c.result);

    EXPECT_EQ(a.port->writes.size(), c.writes);
    EXPECT_EQ(a.port->read_timeouts.size(), c.reads_made);
    EXPECT_EQ(a.port->cancels, c.cancels);
    // Every attempt is bounded: a second for the reply, the write's own limit.
    EXPECT_EQ(a.port->read_timeouts, std::vector<int>(c.reads_made, kReadTimeoutMs));
    EXPECT_EQ(a.port->write_timeouts, std::vector<int>(c.writes, kWriteTimeoutMs));
    for (const Bytes &w : a.port->writes) { // a retry sends the very same request
        EXPECT_EQ(w[0], c.transport == Transport::Hid ? 0x00 : 0xA5); // report ID or sync byte
        EXPECT_EQ(Bytes(w.begin() + 1, w.end()), request);
    }
    if (c.result != 0) { // a failed read leaves the request in place
        EXPECT_EQ(obuffer_bytes(), request);
    }
}

const ReadStep kOk = reply_status(0);

std::vector<ReadStep> nine_lost_then_ok() {
    std::vector<ReadStep> r(9, timeout());
    r.push_back(kOk);
    return r;
}

// name, transport, write results, reads, result, writes, reads made, cancels
INSTANTIATE_TEST_SUITE_P(
    Cases, Exchange,
    ::testing::Values(
        RetryCase{"HidLostReplyIsOneAttempt", Transport::Hid, {}, {timeout(), kOk}, -1, 1, 1, 1},
        RetryCase{"HidReadErrorIsOneAttempt", Transport::Hid, {}, {io_error(), kOk}, -1, 1, 1, 0},
        RetryCase{"SerialReadErrorsAreRetried", Transport::Serial, {}, std::vector<ReadStep>(10, io_error()), -1, 10, 10, 0},
        RetryCase{"SerialAnsweredOnTenthAttempt", Transport::Serial, {}, nine_lost_then_ok(), 0, 10, 10, 9},
        RetryCase{"SerialWriteTimesOut", Transport::Serial, {kPortTimeout}, {kOk}, -1, 1, 0, 1},
        RetryCase{"SerialWriteFailsOnRetry", Transport::Serial, {kPortOk, kPortIoError}, {timeout(), kOk}, -1, 2, 1, 1}), row_name);



TEST_F(LinkTest, OnlyTheOpenLinksHandleReachesThePort) {
    Adapter old = attach(Transport::Hid);
    const BridgeHandle stale = old.handle;
    Adapter a = attach(Transport::Hid); // replaces (and closes) the first link
    const BridgeHandle made_up = reinterpret_cast<BridgeHandle>(uintptr_t{0x1234});
    uint8_t data[64] = {};
    uint8_t buffer[65] = {};

    for (BridgeHandle h : {stale, made_up, BRIDGEIO_INVALID_HANDLE, BridgeHandle{}}) {
        EXPECT_EQ(rd2(h), -1);
        EXPECT_EQ(send_raw(h, data), -2);
        EXPECT_EQ(async_read(h, buffer), nullptr);
        EXPECT_EQ(usb_hid_close(h), 0);
    }
    EXPECT_TRUE(a.port->writes.empty());
    EXPECT_NE(stale, a.handle);

    EXPECT_EQ(usb_hid_close(a.handle), 1);
    EXPECT_EQ(usb_hid_close(a.handle), 0);
    EXPECT_EQ(rd2(a.handle), -1);
}


struct CallbackLog {
    std::vector<Bytes> reports;
    std::vector<std::array<uint32_t, 3>> context;
};
CallbackLog callback_log;

int record_report(uint8_t *report, uint32_t a, uint32_t b, uint32_t c) {
    callback_log.reports.emplace_back(report, report + kPayloadSize);
    callback_log.context.push_back({a, b, c});
    return 0;
}

class AsyncTest : public LinkTest {
  protected:
    void SetUp() override {
        callback_log = {};
        a = attach(Transport::Hid);
    }
    Adapter a;
};

TEST_F(AsyncTest, CallbackRunsDuringTheNextExchangeWithTheFirstReport) {
    ASSERT_EQ(korra_read_fifo_packet(a.handle, 5, nullptr, record_report, 1, 2, 3), 0);
    EXPECT_EQ(a.port->writes.size(), 1u); // the request; its bytes: the fifo packet command test
    EXPECT_TRUE(a.port->read_timeouts.empty()); // nothing read yet
    EXPECT_TRUE(callback_log.reports.empty());

    // The packet is not there yet when the next command goes out; it
    // arrives before that command's reply.
    a.port->responder = [](RecordingPort &p, const uint8_t *) {
        p.reads.push_back(reply(pattern(0x20)));
        p.reads.push_back(reply(payload_words(0, {0x00040000})));
    };
    uint32_t levels = 0;
    ASSERT_EQ(read_pin(a.handle, 0, &levels), 0);

    ASSERT_EQ(callback_log.reports.size(), 1u);
    EXPECT_EQ(callback_log.reports[0], pattern(0x20));
    EXPECT_EQ(callback_log.context[0], (std::array<uint32_t, 3>{1, 2, 3}));
    EXPECT_EQ(levels, 0x00040000u);
}

TEST_F(AsyncTest, NoReportMeansTheExchangeTimesOutAndTheReadStaysArmed) {
    ASSERT_EQ(korra_read_fifo_packet(a.handle, 0, nullptr, record_report, 0, 0, 0), 0);
    begin_command(0xA2);
    EXPECT_EQ(rd2(a.handle), -1);
    EXPECT_TRUE(callback_log.reports.empty());
    EXPECT_EQ(korra_read_fifo_packet(a.handle, 0, nullptr, record_report, 0, 0, 0), -2);
    uint8_t buffer[65];
    EXPECT_EQ(async_read(a.handle, buffer), nullptr);
}

TEST_F(AsyncTest, AsyncReadSignalsItsDescriptorWithThePayloadAtByteOne) {
    a.port->reads.push_back(reply(pattern(0x44)));
    uint8_t buffer[65];
    std::memset(buffer, 0xEE, sizeof buffer);

    void *event = async_read(a.handle, buffer);
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(wait_event(event, 2000));

    EXPECT_EQ(Bytes(buffer + 1, buffer + 65), pattern(0x44));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(bytesread, 65u);
    // The link is free again for exchanges.
    a.port->reads.push_back(kOk);
    begin_command(0xA3);
    EXPECT_EQ(rd2(a.handle), 0);
}

TEST_F(AsyncTest, AsyncReadStillPendingIsAbandonedByTheNextExchange) {
    // Set before the worker runs: the port is the worker's until it stops.
    a.port->responder = [](RecordingPort &p, const uint8_t *) {
        p.reads.push_back(reply(pattern(0x10)));
    };
    uint8_t buffer[65] = {};
    void *event = async_read(a.handle, buffer);
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(wait_event(event, 20));

    begin_command(0xA3);
    EXPECT_EQ(rd2(a.handle), 0);
    EXPECT_EQ(obuffer_bytes(), pattern(0x10));
    EXPECT_EQ(Bytes(buffer + 1, buffer + 65), Bytes(64, 0));
}

} // namespace
