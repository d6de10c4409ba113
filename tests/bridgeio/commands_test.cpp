// Scripts, converters and the peripheral commands.
#include "recording_port.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace bridgeio;
using namespace bridgeio::test;

namespace {

using CommandTest = HidLinkTest;

TEST_F(CommandTest, LoadScriptStopsAtALostChunk) {
    a.port->reads = {reply_status(0), reply_status(0)};
    const Bytes script = counting(168, 0);
    EXPECT_EQ(load_script(a.handle, script.data(), 0, 168), -1);
    EXPECT_EQ(a.port->writes.size(), 3u);
}

TEST_F(CommandTest, ExecuteScriptFillsTheResultWhateverTheStatus) {
    struct Case {
        uint32_t status;
        int result;
    };
    for (Case c : {Case{0, 0}, Case{3, -4}, Case{0xFFFFFFFF, -4}}) {
        SCOPED_TRACE(c.status);
        Bytes answer = counting(64, 0x40);
        put_le32(answer.data(), c.status);
        a.port->reads.push_back(reply(answer));
        uint8_t result[61];
        result[60] = 0xEE;
        EXPECT_EQ(execute_script(a.handle, 0x10, result), c.result);
        EXPECT_EQ(Bytes(result, result + 60), Bytes(answer.begin() + 4, answer.end()));
        EXPECT_EQ(result[60], 0xEE);
        const size_t last = a.port->writes.size() - 1;
        EXPECT_EQ(a.port->request_word(last, 0), 0xC2u);
        EXPECT_EQ(a.port->request_word(last, 4), 0x10u);
        EXPECT_EQ(a.port->request(last)[8], 0x00);
    }
    uint8_t untouched[60] = {0x77};
    EXPECT_EQ(execute_script(a.handle, 0, untouched), -1);
    EXPECT_EQ(untouched[0], 0x77);
}

// The adapter's commands the program itself never sends: each once on its way
// through and once on its most important failure. `request`: the first
// request's leading bytes (empty: nothing may be written).
struct FamilyRow {
    const char *name;
    Transport transport;
    std::vector<ReadStep> reads;
    int (*call)(RecordingPort &port, BridgeHandle h);
    int result;
    Bytes request;
};

const FamilyRow kFamilies[] = {
    {"FifoPacketCopiesFiftySixBytes", Transport::Hid,
     {reply(payload(0x2A, {5, 6, 7}))},
     [](RecordingPort &, BridgeHandle h) {
         uint8_t buffer[64];
         std::memset(buffer, 0xEE, sizeof buffer);
         const int r = korra_read_fifo_packet(h, 0x77, buffer, nullptr, 0, 0, 0);
         Bytes expected(56, 0);
         expected[0] = 5, expected[1] = 6, expected[2] = 7;
         EXPECT_EQ(Bytes(buffer, buffer + 56), expected);
         EXPECT_EQ(buffer[56], 0xEE);
         return r;
     },
     0x2A, {0xC1, 0, 0, 1, 0x77, 0, 0, 0}},
    {"FifoPacketUnanswered", Transport::Hid, {},
     [](RecordingPort &, BridgeHandle h) { return korra_read_fifo_packet(h, 0x77, nullptr, nullptr, 0, 0, 0); },
     -1, {0xC1, 0, 0, 1, 0x77}},
    {"StoppingThePacketFlowDrainsWhatFollows", Transport::Hid,
     {reply(payload_words(0, {0x55})), waiting(reply_status(1)), waiting(reply_status(2))},
     [](RecordingPort &port, BridgeHandle h) {
         const int r = korra_stop_packet_flow(h);
         // The reply, two reports at once, one that does not come at once,
         // and the last wait of 500 ms.
         EXPECT_EQ(port.read_timeouts, (std::vector<int>{1000, 0, 0, 0, 500}));
         EXPECT_TRUE(port.reads.empty());
         return r;
     },
     0x55, {0xB0, 0, 0, 0}},
    {"StoppingThePacketFlowUnanswered", Transport::Hid, {},
     [](RecordingPort &, BridgeHandle h) { return korra_stop_packet_flow(h); }, -1, {0xB0}},
    {"DataTransferLimitsTheRangeAndCopiesWhatTheReplyCounts", Transport::Hid,
     {reply(payload(3, {9, 8, 7, 6}))},
     [](RecordingPort &, BridgeHandle h) {
         uint8_t buffer[8];
         std::memset(buffer, 0xEE, sizeof buffer);
         const int r = dti_transfer(h, 1, buffer, 300, 10);
         EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{9, 0xEE, 0xEE})); // one asked, one copied
         return r;
     },
     3, {0xCB, 0, 0, 0, 1, 0, 0, 0, 255, 0, 0, 0, 1, 0, 0, 0}},
    {"DataTransferRefusesUnknownModes", Transport::Hid, {reply_status(0)},
     [](RecordingPort &, BridgeHandle h) {
         uint8_t buffer[64];
         return dti_transfer(h, 4, buffer, 0, 1);
     },
     -1, {}},
    // Chunks of 50 (the last one padded with zeros), then the final word:
    // the first table's length, the second's times 2048, and the top bit.
    {"ShakeTableUploadsInChunksOfFifty", Transport::Hid, {},
     [](RecordingPort &port, BridgeHandle h) {
         const Bytes t1 = counting(120, 1), t2 = counting(51, 0x81);
         // The announcement is not answered; one more reply closes the upload.
         port.responder = [](RecordingPort &p, const uint8_t *req) {
             if (get_le32(req + 4) == 3)
                 return;
             p.reads.push_back(reply_status(0));
             if (get_le32(req + 8) & 0x80000000u)
                 p.reads.push_back(reply_status(0));
         };
         const int r = shake_table_ctrl(h, 1, t1.data(), t2.data(), 120, 51);
         EXPECT_EQ(port.writes.size(), 7u); // three chunks of the first table, two of the second
         const uint8_t *last = port.request(3);
         EXPECT_EQ(Bytes(last, last + 12), (Bytes{0xCC, 0, 0, 0, 1, 0, 0, 0, 100, 0, 0, 0}));
         EXPECT_EQ(Bytes(last + 12, last + 32), Bytes(t1.begin() + 100, t1.end()));
         EXPECT_EQ(Bytes(last + 32, last + 62), Bytes(30, 0));
         EXPECT_EQ(port.request_word(5, 8), 2050u); // the second table from 2000
         EXPECT_EQ(port.request_word(6, 8), 120u + 51 * 2048 + 0x80000000u);
         return r;
     },
     0, {0xCC, 0, 0, 0, 3, 0, 0, 0}},
    {"ShakeTableEndsAtALostChunk", Transport::Hid, {},
     [](RecordingPort &port, BridgeHandle h) {
         const Bytes t = counting(10, 0);
         const int r = shake_table_ctrl(h, 1, t.data(), nullptr, 10, 0);
         EXPECT_EQ(port.writes.size(), 2u);
         return r;
     },
     -1, {0xCC, 0, 0, 0, 3}},
    {"ReadMemoryMarksAddressZeroAndCopiesTheWholeReply", Transport::Hid,
     {reply(payload(0x11223344, {9, 8, 7}))},
     [](RecordingPort &, BridgeHandle h) {
         uint8_t out[64] = {};
         const int r = read_m(h, 0, out);
         EXPECT_EQ(Bytes(out, out + 64), payload(0x11223344, {9, 8, 7}));
         return r;
     },
     0, {0xB3, 1, 0, 0, 0, 0, 0, 0}},
    {"ReadMemoryUnansweredLeavesTheBufferAlone", Transport::Hid, {},
     [](RecordingPort &, BridgeHandle h) {
         uint8_t out[64] = {0x5A};
         const int r = read_m(h, 4, out);
         EXPECT_EQ(out[0], 0x5A);
         return r;
     },
     -1, {0xB3, 0, 0, 0, 4}},
    {"BootloaderUpdateAnnouncementIsNotRetriedOnSerial", Transport::Serial, {},
     [](RecordingPort &port, BridgeHandle h) {
         Bytes image(16384);
         const int r = update_bootloader(h, image.data());
         EXPECT_EQ(port.writes.size(), 1u);
         return r;
     },
     -1, {0xC3, 0, 0, 0}},
    {"SendRawWritesBehindTheSyncByteAndReadsNothing", Transport::Serial, {},
     [](RecordingPort &port, BridgeHandle h) {
         const Bytes data = counting(kPayloadSize, 0x11);
         const int r = send_raw(h, data.data());
         Bytes written = {0xA5};
         written.insert(written.end(), data.begin(), data.end());
         EXPECT_EQ(port.writes, std::vector<Bytes>{written});
         EXPECT_EQ(port.write_timeouts, std::vector<int>{kWriteTimeoutMs}); // never unbounded
         EXPECT_TRUE(port.read_timeouts.empty());
         return r;
     },
     0, {0x11, 0x12}},
};

TEST(CommandFamilies, HappyPathAndMainFailure) {
    for (const FamilyRow &row : kFamilies) {
        SCOPED_TRACE(row.name);
        Adapter a = attach(row.transport);
        a.port->reads.assign(row.reads.begin(), row.reads.end());
        EXPECT_EQ(row.call(*a.port, a.handle), row.result);
        if (row.request.empty()) {
            EXPECT_TRUE(a.port->writes.empty());
        } else {
            ASSERT_FALSE(a.port->writes.empty());
            EXPECT_EQ(Bytes(a.port->request(0), a.port->request(0) + row.request.size()), row.request);
        }
        link_close();
    }
}

} // namespace
