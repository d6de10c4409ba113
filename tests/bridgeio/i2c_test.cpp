// I2C transfers and pin commands: chunking, register advance, flags,
// failures, and the pin requests.
#include "recording_port.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace bridgeio;
using namespace bridgeio::test;

namespace {

class I2cTest : public HidLinkTest {
  protected:
    // Answers every read chunk with bytes that encode the register byte
    // the chunk asked for, so misplaced copies show.
    void answer_reads(uint32_t status = 0) {
        a.port->responder = [status](RecordingPort &p, const uint8_t *req) {
            Bytes r = payload(status);
            for (size_t i = 0; i < req[4] && i < 60; ++i)
                r[4 + i] = static_cast<uint8_t>(req[5] + i);
            p.reads.push_back(reply(r));
        };
    }
    void answer_status(uint32_t status) {
        a.port->responder = [status](RecordingPort &p, const uint8_t *) {
            p.reads.push_back(reply_status(status));
        };
    }
};

struct Chunk {
    uint8_t length;
    uint8_t reg;
    uint8_t full;
    uint8_t continued;
};

struct ReadCase {
    const char *name;
    bool pin_driven;
    unsigned length;
    int reg;
    std::vector<Chunk> chunks;
};

class ChunkedRead : public I2cTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ChunkedRead, SplitsIntoChunksOfSixty) {
    const ReadCase &c = GetParam();
    answer_reads(7);
    std::vector<uint8_t> out(c.length + 8, 0xEE);

    int r = c.pin_driven ? sw_i2c_read(a.handle, c.length, c.reg, 1, 0x60, out.data(), 1, 0)
                         : i2c_read(a.handle, c.length, c.reg, 1, 0x60, out.data());

    EXPECT_EQ(r, c.pin_driven ? static_cast<int>(c.length) : 7);
    ASSERT_EQ(a.port->writes.size(), c.chunks.size());
    size_t off = 0;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        SCOPED_TRACE(i);
        const uint8_t *req = a.port->request(i);
        const Chunk &k = c.chunks[i];
        const uint8_t speed = c.pin_driven ? 1 : 0; // speed bytes only on the pin-driven bus
        EXPECT_EQ(Bytes(req, req + 12), (Bytes{uint8_t(c.pin_driven ? 0xA9 : 0xA6), 0, 0, 0, k.length,
                                               k.reg, 1, 0x60, k.full, k.continued, speed, 0}));
        for (size_t j = 0; j < k.length; ++j)
            ASSERT_EQ(out[off + j], static_cast<uint8_t>(k.reg + j)) << "byte " << off + j;
        off += k.length;
    }
    EXPECT_EQ(off, c.length);
    EXPECT_EQ(out[c.length], 0xEE); // nothing written past the transfer
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChunkedRead,
    ::testing::Values(
        ReadCase{"SixtyIsOneFullChunk", true, 60, 0x20, {{60, 0x20, 1, 0}}},
        ReadCase{"HundredTwentyOne",
                 true,
                 121,
                 0x10,
                 {{60, 0x10, 1, 0}, {60, 0x4C, 1, 1}, {1, 0x88, 0, 1}}},
        ReadCase{"RegisterWrapsPastFF", true, 61, 0xC4, {{60, 0xC4, 1, 0}, {1, 0x00, 0, 1}}},
        ReadCase{"ControllerKeepsTheRegister",
                 false,
                 121,
                 0x10,
                 {{60, 0x10, 1, 0}, {60, 0x10, 1, 1}, {1, 0x10, 0, 1}}}),
    [](const auto &info) { return std::string(info.param.name); });

struct WriteCase {
    const char *name;
    bool pin_driven;
    unsigned length;
    std::vector<Chunk> chunks;
};

class ChunkedWrite : public I2cTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ChunkedWrite, SplitsIntoChunksOfFiftyTwo) {
    const WriteCase &c = GetParam();
    answer_status(3);
    std::vector<uint8_t> data(c.length); // exact size: reading past it is caught
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);

    int r = c.pin_driven ? sw_i2c_write(a.handle, c.length, 0x42, 1, 0x61, data.data(), 1, 1)
                         : i2c_write(a.handle, c.length, 0x42, 1, 0x61, data.data());

    EXPECT_EQ(r, c.pin_driven ? static_cast<int>(c.length) : 3);
    ASSERT_EQ(a.port->writes.size(), c.chunks.size());
    size_t off = 0;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        SCOPED_TRACE(i);
        const uint8_t *req = a.port->request(i);
        const Chunk &k = c.chunks[i];
        const uint8_t sw = c.pin_driven ? 1 : 0, op = c.pin_driven ? 0xA8 : 0xA5;
        EXPECT_EQ(Bytes(req, req + 12), (Bytes{op, 0, 0, 0, k.length, 0x42, 1, 0x61, k.full, k.continued, sw, sw}));
        EXPECT_EQ(Bytes(req + 12, req + 12 + k.length), Bytes(&data[off], &data[off] + k.length));
        off += k.length;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChunkedWrite,
    ::testing::Values(WriteCase{"FiftyTwo", true, 52, {{52, 0x42, 1, 0}}},
                      WriteCase{"FiftyThree", true, 53, {{52, 0x42, 1, 0}, {1, 0x42, 0, 1}}},
                      WriteCase{
                          "ControllerFiftyThree", false, 53, {{52, 0x42, 1, 0}, {1, 0x42, 0, 1}}}),
    [](const auto &info) { return std::string(info.param.name); });

struct FailureCase {
    const char *name;
    int (*transfer)(BridgeHandle, uint8_t *);
    std::vector<ReadStep> replies;
    int result;
    size_t exchanges;
};

class TransferFailure : public I2cTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TransferFailure, StopsAtTheFailingChunk) {
    const FailureCase &c = GetParam();
    a.port->reads.assign(c.replies.begin(), c.replies.end());
    uint8_t buf[128] = {};

    EXPECT_EQ(c.transfer(a.handle, buf), c.result);
    EXPECT_EQ(a.port->writes.size(), c.exchanges);
}

const ReadStep kFirstChunk = reply(payload(0, {0xA1, 0xA2}));
const ReadStep kBusFailure = reply_status(0xFFFFFFFF);
int kSwRead(BridgeHandle h, uint8_t *b) { return sw_i2c_read(h, 121, 0, 1, 0x60, b, 0, 0); }
int kHwRead(BridgeHandle h, uint8_t *b) { return i2c_read(h, 121, 0, 1, 0x60, b); }
int kSwWrite(BridgeHandle h, uint8_t *b) { return sw_i2c_write(h, 110, 0, 1, 0x60, b, 0, 0); }
int kHwWrite(BridgeHandle h, uint8_t *b) { return i2c_write(h, 110, 0, 1, 0x60, b); }

INSTANTIATE_TEST_SUITE_P(
    Cases, TransferFailure,
    ::testing::Values(
        FailureCase{"PinReadNackInSecondChunk", kSwRead, {kFirstChunk, kBusFailure}, -4, 2},
        FailureCase{"ControllerWriteNackInSecondChunk", kHwWrite, {kFirstChunk, kBusFailure}, -4, 2},
        FailureCase{"PinReadLostInSecondChunk", kSwRead, {kFirstChunk, timeout()}, -1, 2},
        FailureCase{"PinWriteLostInFirstChunk", kSwWrite, {io_error()}, -1, 1},
        FailureCase{"StatusJustBelowAllOnesIsNoFailure", kHwRead, std::vector<ReadStep>(3, reply_status(0xFFFFFFFE)), -2, 3}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(I2cTest, EarlierChunksStayInTheOutputAfterAFailure) {
    a.port->reads = {kFirstChunk, kBusFailure};
    uint8_t buf[121] = {};
    ASSERT_EQ(sw_i2c_read(a.handle, 121, 0, 1, 0x60, buf, 0, 0), -4);
    EXPECT_EQ(buf[0], 0xA1);
    EXPECT_EQ(buf[1], 0xA2);
}


struct RequestCase {
    const char *name;
    int (*command)(BridgeHandle);
    Bytes request; // bytes 0 onward of the expected request; the rest zero
};

class SimpleRequest : public I2cTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(SimpleRequest, ComposesTheRequestAndIgnoresTheStatus) {
    const RequestCase &c = GetParam();
    a.port->reads.push_back(reply_status(0xFFFFFFFF));
    EXPECT_EQ(c.command(a.handle), 0);
    ASSERT_EQ(a.port->writes.size(), 1u);
    Bytes expected = c.request;
    expected.resize(kPayloadSize, 0);
    EXPECT_EQ(Bytes(a.port->request(0), a.port->request(0) + 64), expected);

    // The same command without an answer fails with -1.
    EXPECT_EQ(c.command(a.handle), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimpleRequest,
    ::testing::Values(
        RequestCase{"PinConfigLowBytes",
                    [](BridgeHandle h) { return pin_config(h, 0x101, 0x203, 0x3FF, 2, 0x100, 4); },
                    {0xA0, 0, 0, 0, 1, 3, 0xFF, 2, 0, 4}},
        RequestCase{"I2cInit",
                    [](BridgeHandle h) { return i2c_init(h, 0x04030201, 5, 0x100, 0xFFFFFFFF); },
                    {0xA4, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0, 0, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(I2cTest, ReadPinStoresTheLevelWordOnlyOnSuccess) {
    a.port->reads.push_back(reply(payload_words(0, {0x00040000})));
    uint32_t levels = 0;
    ASSERT_EQ(read_pin(a.handle, 1, &levels), 0);
    EXPECT_EQ(levels, 0x00040000u);
    EXPECT_EQ(a.port->request(0)[0], 0xA2);
    EXPECT_EQ(a.port->request(0)[4], 1);

    levels = 0x5555;
    EXPECT_EQ(read_pin(a.handle, 0, &levels), -1);
    EXPECT_EQ(levels, 0x5555u);
}

} // namespace
