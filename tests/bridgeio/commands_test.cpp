// Scripts, converters and the peripheral commands.
#include "recording_port.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace bridgeio;
using namespace bridgeio::test;

namespace {

class CommandTest : public HidLinkTest {
  protected:
    Bytes request_bytes(size_t i, size_t from, size_t to) const {
        return Bytes(a.port->request(i) + from, a.port->request(i) + to);
    }
};



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


TEST_F(CommandTest, FifoPacketWithoutCallbackCopiesFiftySixBytes) {
    Bytes answer = counting(64, 1);
    put_le32(answer.data(), 0x2A);
    a.port->reads.push_back(reply(answer));
    uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);

    EXPECT_EQ(korra_read_fifo_packet(a.handle, 0x77, buffer, nullptr, 0, 0, 0), 0x2A);
    EXPECT_EQ(request_bytes(0, 0, 8), (Bytes{0xC1, 0, 0, 1, 0x77, 0, 0, 0}));
    EXPECT_EQ(Bytes(buffer, buffer + 56), Bytes(answer.begin() + 4, answer.begin() + 60));
    EXPECT_EQ(Bytes(buffer + 56, buffer + 64), Bytes(8, 0xEE));
    EXPECT_EQ(korra_read_fifo_packet(a.handle, 0x77, nullptr, nullptr, 0, 0, 0), -1);
}

TEST_F(CommandTest, StoppingThePacketFlowDrainsWhatFollows) {
    a.port->reads = {reply(payload_words(0, {0x55})), waiting(reply_status(1)),
                     waiting(reply_status(2))};
    EXPECT_EQ(korra_stop_packet_flow(a.handle), 0x55);
    EXPECT_EQ(a.port->request_word(0, 0), 0xB0u);
    // The reply, two reports at once, one that does not come at once, and
    // the last wait of 500 ms.
    EXPECT_EQ(a.port->read_timeouts, (std::vector<int>{1000, 0, 0, 0, 500}));
    EXPECT_TRUE(a.port->reads.empty());
    EXPECT_EQ(a.port->cancels, 1);
    EXPECT_EQ(korra_stop_packet_flow(a.handle), -1);
}

TEST(SerialDrain, ReadsSingleBytesUntilQuiet) {
    Adapter a = attach(Transport::Serial);
    a.port->reads = {reply(payload_words(0, {0x66})), raw({1}), raw({2}), raw({3})};
    EXPECT_EQ(korra_stop_packet_flow(a.handle), 0x66);
    EXPECT_EQ(a.port->read_sizes, (std::vector<size_t>{64, 1, 1, 1, 1}));
    EXPECT_EQ(a.port->read_timeouts, (std::vector<int>{1000, 500, 500, 500, 500}));
    link_close();
}

struct DtiCase {
    uint32_t mode, start, count;
    uint32_t sent_start, sent_count;
    uint32_t reply;
    size_t copied;
};

class DataTransfer : public CommandTest, public ::testing::WithParamInterface<DtiCase> {};

TEST_P(DataTransfer, LimitsTheRangeAndCopiesWhatTheReplyCounts) {
    const DtiCase &c = GetParam();
    Bytes answer = counting(64, 0x90);
    put_le32(answer.data(), c.reply);
    a.port->reads.push_back(reply(answer));
    uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);

    EXPECT_EQ(dti_transfer(a.handle, c.mode, buffer, c.start, c.count), static_cast<int>(c.reply));
    EXPECT_EQ(request_bytes(0, 0, 4), (Bytes{0xCB, 0, 0, 0}));
    EXPECT_EQ(a.port->request_word(0, 4), c.mode);
    EXPECT_EQ(a.port->request_word(0, 8), c.sent_start);
    EXPECT_EQ(a.port->request_word(0, 12), c.sent_count);
    EXPECT_EQ(Bytes(buffer, buffer + c.copied),
              Bytes(answer.begin() + 4, answer.begin() + 4 + c.copied));
    EXPECT_EQ(buffer[c.copied], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(Cases, DataTransfer,
                         ::testing::Values(DtiCase{1, 300, 10, 255, 1, 1, 1},
                                           DtiCase{1, 10, 300, 10, 246, 60, 60},
                                           DtiCase{1, 0, 256, 0, 256, 61, 0},
                                           DtiCase{1, 0, 4, 0, 4, 30, 4},
                                           DtiCase{2, 0, 20, 0, 20, 8, 0}));

TEST_F(CommandTest, DataTransferRefusesUnknownModes) {
    uint8_t buffer[64];
    EXPECT_EQ(dti_transfer(a.handle, 0, buffer, 0, 1), -1);
    EXPECT_EQ(dti_transfer(a.handle, 4, buffer, 0, 1), -1);
    EXPECT_TRUE(a.port->writes.empty());
}


// Chunks of 50 at their offsets (the second table from 2000, each capped at
// 2000 bytes), then the final word with the first table length and the
// second length times 2048.
TEST_F(CommandTest, ShakeTableUploadsBothTablesInChunksOfFifty) {
    struct Case {
        uint32_t length1, length2;
        size_t chunks;
        uint32_t last_offset, final_word;
    };
    for (Case c : {Case{120, 0, 3, 100, 120 + 0x80000000u}, Case{0, 51, 2, 2050, 51 * 2048 + 0x80000000u},
                   Case{2500, 3000, 80, 3950, 2000 + 2000 * 2048 + 0x80000000u}}) {
        SCOPED_TRACE(c.length1);
        a.port->writes.clear();
        const Bytes t1 = counting(std::min(c.length1, 2000u), 0x01);
        const Bytes t2 = counting(std::min(c.length2, 2000u), 0x81);
        // The announcement is not answered; one more reply closes the upload.
        a.port->responder = [c](RecordingPort &p, const uint8_t *req) {
            if (get_le32(req + 4) == 3)
                return;
            p.reads.push_back(reply_status(0));
            if (get_le32(req + 8) == c.final_word)
                p.reads.push_back(reply_status(0));
        };
        EXPECT_EQ(shake_table_ctrl(a.handle, 1, t1.data(), t2.data(), c.length1, c.length2), 0);
        const size_t n = a.port->writes.size();
        ASSERT_EQ(n, c.chunks + 2);
        EXPECT_EQ(request_bytes(0, 0, 8), (Bytes{0xCC, 0, 0, 0, 3, 0, 0, 0}));
        EXPECT_EQ(a.port->request_word(n - 2, 8), c.last_offset);
        EXPECT_EQ(a.port->request_word(n - 1, 8), c.final_word);
        if (c.length1 == 120) { // the last chunk: 20 bytes from offset 100, then filler
            EXPECT_EQ(request_bytes(3, 0, 12), (Bytes{0xCC, 0, 0, 0, 1, 0, 0, 0, 100, 0, 0, 0}));
            EXPECT_EQ(request_bytes(3, 12, 32), Bytes(t1.begin() + 100, t1.end()));
            EXPECT_EQ(request_bytes(3, 32, 62), Bytes(30, 0));
        }
    }
}

TEST_F(CommandTest, ShakeTableOtherModesAndFailures) {
    a.port->reads.push_back(reply_status(0xFFFFFFFF));
    EXPECT_EQ(shake_table_ctrl(a.handle, 2, nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(a.port->request_word(0, 4), 2u);
    EXPECT_EQ(shake_table_ctrl(a.handle, 0, nullptr, nullptr, 0, 0), -1);

    // The final exchange is answered but the closing reply never comes.
    const Bytes t = counting(10, 0);
    a.port->reads.push_back(reply_status(0));
    a.port->reads.push_back(reply_status(0));
    EXPECT_EQ(shake_table_ctrl(a.handle, 1, t.data(), nullptr, 10, 5), -1);
    EXPECT_EQ(a.port->request_word(a.port->writes.size() - 1, 8), 10u + 0x80000000u);

    // A lost chunk ends the upload at once.
    const size_t before = a.port->writes.size();
    EXPECT_EQ(shake_table_ctrl(a.handle, 1, t.data(), nullptr, 10, 0), -1);
    EXPECT_EQ(a.port->writes.size(), before + 2);
}

} // namespace
