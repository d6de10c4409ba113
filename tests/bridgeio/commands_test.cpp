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
// through and once on its most important failure (for stopping the packet
// flow that is the link fault of a callback closing the link in the drain).
// The caller's buffer must hold `copied` bytes of the first reply from its
// byte `from`, and nothing behind them.
struct FamilyRow {
    const char *name;
    Transport transport;
    std::vector<ReadStep> reads;
    int (*call)(RecordingPort &port, BridgeHandle h, uint8_t *buffer);
    int result;
    size_t writes;
    Bytes request; // the first request's leading bytes
    size_t from, copied;
};

const FamilyRow kFamilies[] = {
    {"FifoPacketCopiesFiftySixBytes", Transport::Hid, {reply(payload(0x2A, {5, 6, 7}))},
     [](RecordingPort &, BridgeHandle h, uint8_t *b) { return korra_read_fifo_packet(h, 0x77, b, nullptr, 0, 0, 0); },
     0x2A, 1, {0xC1, 0, 0, 1, 0x77, 0, 0, 0}, 4, 56},
    {"FifoPacketUnanswered", Transport::Hid, {},
     [](RecordingPort &, BridgeHandle h, uint8_t *b) { return korra_read_fifo_packet(h, 0x77, b, nullptr, 0, 0, 0); },
     -1, 1, {0xC1, 0, 0, 1, 0x77}, 0, 0},
    {"StoppingThePacketFlowDrainsWhatFollows", Transport::Hid,
     {reply(payload_words(0, {0x55})), waiting(reply_status(1)), waiting(reply_status(2))},
     [](RecordingPort &port, BridgeHandle h, uint8_t *) {
         const int r = korra_stop_packet_flow(h);
         // The reply, two reports at once, one that does not come at once,
         // and the last wait of 500 ms.
         EXPECT_EQ(port.read_timeouts, (std::vector<int>{1000, 0, 0, 0, 500}));
         EXPECT_TRUE(port.reads.empty());
         return r;
     },
     0x55, 1, {0xB0, 0, 0, 0}, 0, 0},
    // Start 300 becomes 255, and only one byte is left to ask for and copy.
    {"DataTransferLimitsTheRangeAndCopiesNoMoreThanAsked", Transport::Hid, {reply(payload(3, {9, 8, 7}))},
     [](RecordingPort &, BridgeHandle h, uint8_t *b) { return dti_transfer(h, 1, b, 300, 10); },
     3, 1, {0xCB, 0, 0, 0, 1, 0, 0, 0, 255, 0, 0, 0, 1, 0, 0, 0}, 4, 1},
    {"DataTransferRefusesUnknownModes", Transport::Hid, {reply(payload(3, {9}))},
     [](RecordingPort &, BridgeHandle h, uint8_t *b) { return dti_transfer(h, 4, b, 0, 1); }, -1, 0, {}, 0, 0},
    // Chunks of 50 (the last one padded with zeros), then the final word:
    // the first table's length, the second's times 2048, and the top bit.
    {"ShakeTableUploadsInChunksOfFifty", Transport::Hid, {},
     [](RecordingPort &port, BridgeHandle h, uint8_t *) {
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
         const uint8_t *last = port.request(3); // of the first table
         EXPECT_EQ(Bytes(last, last + 12), (Bytes{0xCC, 0, 0, 0, 1, 0, 0, 0, 100, 0, 0, 0}));
         EXPECT_EQ(Bytes(last + 12, last + 32), Bytes(t1.begin() + 100, t1.end()));
         EXPECT_EQ(Bytes(last + 32, last + 62), Bytes(30, 0));
         EXPECT_EQ(port.request_word(5, 8), 2050u); // the second table from 2000
         EXPECT_EQ(port.request_word(6, 8), 120u + 51 * 2048 + 0x80000000u);
         return r;
     },
     0, 7, {0xCC, 0, 0, 0, 3, 0, 0, 0}, 0, 0},
    {"ShakeTableEndsAtALostChunk", Transport::Hid, {},
     [](RecordingPort &, BridgeHandle h, uint8_t *b) { return shake_table_ctrl(h, 1, b, nullptr, 10, 0); },
     -1, 2, {0xCC, 0, 0, 0, 3}, 0, 0},
    {"ReadMemoryMarksAddressZeroAndCopiesTheWholeReply", Transport::Hid, {reply(payload(0x11223344, {9, 8}))},
     [](RecordingPort &, BridgeHandle h, uint8_t *b) { return read_m(h, 0, b); },
     0, 1, {0xB3, 1, 0, 0, 0, 0, 0, 0}, 0, 64},
    {"ReadMemoryUnanswered", Transport::Hid, {},
     [](RecordingPort &, BridgeHandle h, uint8_t *b) { return read_m(h, 4, b); }, -1, 1, {0xB3, 0, 0, 0, 4}, 0, 0},
    {"BootloaderUpdateAnnouncementIsNotRetriedOnSerial", Transport::Serial, {},
     [](RecordingPort &, BridgeHandle h, uint8_t *) {
         const Bytes image(16384);
         return update_bootloader(h, image.data());
     },
     -1, 1, {0xC3, 0, 0, 0}, 0, 0},
    {"SendRawWritesTheCallersBytesAndReadsNothing", Transport::Serial, {},
     [](RecordingPort &port, BridgeHandle h, uint8_t *) {
         const int r = send_raw(h, counting(kPayloadSize, 0x11).data());
         EXPECT_EQ(port.write_timeouts, std::vector<int>{kWriteTimeoutMs}); // never unbounded
         EXPECT_TRUE(port.read_timeouts.empty());
         return r;
     },
     0, 1, counting(kPayloadSize, 0x11), 0, 0},
};

TEST(CommandFamilies, HappyPathAndMainFailure) {
    for (const FamilyRow &row : kFamilies) {
        SCOPED_TRACE(row.name);
        Adapter a = attach(row.transport);
        a.port->reads.assign(row.reads.begin(), row.reads.end());
        uint8_t buffer[80];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(row.call(*a.port, a.handle, buffer), row.result);
        ASSERT_EQ(a.port->writes.size(), row.writes);
        if (row.writes) {
            EXPECT_EQ(Bytes(a.port->request(0), a.port->request(0) + row.request.size()), row.request);
        }
        const Bytes reply = row.copied ? row.reads[0].bytes : Bytes(row.from);
        EXPECT_EQ(Bytes(buffer, buffer + row.copied), Bytes(reply.begin() + row.from, reply.begin() + row.from + row.copied));
        EXPECT_EQ(buffer[row.copied], 0xEE);
        link_close();
    }
}

} // namespace
