// I2C transfers and pin commands: chunking, register advance, flags,
// failures, and the pin requests.
#include "recording_port.h"

#include <gtest/gtest.h>

using namespace bridgeio;
using namespace bridgeio::test;

namespace {

struct Chunk {
    uint8_t length, reg, full, continued;
};

struct TransferCase {
    const char *name;
    bool write, pin_driven;
    unsigned length;
    uint8_t reg;
    std::vector<Chunk> chunks;
};

const TransferCase kTransfers[] = {
    {"ReadSixtyIsOneFullChunk", false, true, 60, 0x20, {{60, 0x20, 1, 0}}},
    {"ReadHundredTwentyOne", false, true, 121, 0x10, {{60, 0x10, 1, 0}, {60, 0x4C, 1, 1}, {1, 0x88, 0, 1}}},
    {"ReadRegisterWrapsPastFF", false, true, 61, 0xC4, {{60, 0xC4, 1, 0}, {1, 0x00, 0, 1}}},
    {"ReadControllerKeepsTheRegister", false, false, 121, 0x10,
     {{60, 0x10, 1, 0}, {60, 0x10, 1, 1}, {1, 0x10, 0, 1}}},
    {"WriteFiftyTwo", true, true, 52, 0x42, {{52, 0x42, 1, 0}}},
    {"WriteFiftyThree", true, true, 53, 0x42, {{52, 0x42, 1, 0}, {1, 0x42, 0, 1}}},
    {"WriteControllerFiftyThree", true, false, 53, 0x42, {{52, 0x42, 1, 0}, {1, 0x42, 0, 1}}}};

// Writes go in chunks of 52, reads in chunks of 60; only pin-driven reads
// advance the register, only the pin-driven bus sends its speed bytes.
TEST(I2cTransfer, SplitsIntoChunks) {
    for (const TransferCase &c : kTransfers) {
        SCOPED_TRACE(c.name);
        Adapter a = attach(Transport::Hid);
        // Every reply carries bytes that encode the register its chunk asked
        // for, so misplaced copies show.
        a.port->responder = [](RecordingPort &p, const uint8_t *req) {
            Bytes r = payload(7);
            for (size_t i = 0; i < req[4] && i < 60; ++i)
                r[4 + i] = static_cast<uint8_t>(req[5] + i);
            p.reads.push_back(reply(r));
        };
        Bytes data(c.length), out(c.length + 8, 0xEE); // exact size: reading past it is caught
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7 + 1);
        const BridgeHandle h = a.handle;
        const int r = c.write ? (c.pin_driven ? sw_i2c_write(h, c.length, c.reg, 1, 0x61, data.data(), 1, 2)
                                              : i2c_write(h, c.length, c.reg, 1, 0x61, data.data()))
                              : (c.pin_driven ? sw_i2c_read(h, c.length, c.reg, 1, 0x61, out.data(), 1, 2)
                                              : i2c_read(h, c.length, c.reg, 1, 0x61, out.data()));

        EXPECT_EQ(r, c.pin_driven ? static_cast<int>(c.length) : 7);
        ASSERT_EQ(a.port->writes.size(), c.chunks.size());
        const uint8_t op = c.write ? (c.pin_driven ? 0xA8 : 0xA5) : (c.pin_driven ? 0xA9 : 0xA6);
        const uint8_t sw = c.pin_driven ? 1 : 0;
        size_t off = 0;
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            SCOPED_TRACE(i);
            const uint8_t *req = a.port->request(i);
            const Chunk &k = c.chunks[i];
            EXPECT_EQ(Bytes(req, req + 12), (Bytes{op, 0, 0, 0, k.length, k.reg, 1, 0x61, k.full,
                                                   k.continued, sw, uint8_t(2 * sw)}));
            if (c.write) {
                EXPECT_EQ(Bytes(req + 12, req + 12 + k.length), Bytes(&data[off], &data[off] + k.length));
            }
            for (size_t j = 0; !c.write && j < k.length; ++j)
                ASSERT_EQ(out[off + j], static_cast<uint8_t>(k.reg + j)) << "byte " << off + j;
            off += k.length;
        }
        EXPECT_EQ(off, c.length);
        if (!c.write) {
            EXPECT_EQ(out[c.length], 0xEE); // nothing written past the transfer
        }
        link_close();
    }
}

struct FailureCase {
    const char *name;
    int (*transfer)(BridgeHandle, uint8_t *);
    std::vector<ReadStep> replies;
    int result;
    size_t exchanges;
    bool keeps_first_chunk; // a read whose first chunk came back
};

const ReadStep kFirstChunk = reply(payload(0, {0xA1, 0xA2}));
const ReadStep kBusFailure = reply_status(0xFFFFFFFF);
int kSwRead(BridgeHandle h, uint8_t *b) { return sw_i2c_read(h, 121, 0, 1, 0x60, b, 0, 0); }
int kHwRead(BridgeHandle h, uint8_t *b) { return i2c_read(h, 121, 0, 1, 0x60, b); }
int kSwWrite(BridgeHandle h, uint8_t *b) { return sw_i2c_write(h, 110, 0, 1, 0x60, b, 0, 0); }
int kHwWrite(BridgeHandle h, uint8_t *b) { return i2c_write(h, 110, 0, 1, 0x60, b); }

const FailureCase kFailures[] = {
    {"PinReadNackInSecondChunk", kSwRead, {kFirstChunk, kBusFailure}, -4, 2, true},
    {"ControllerWriteNackInSecondChunk", kHwWrite, {kFirstChunk, kBusFailure}, -4, 2, false},
    {"PinReadLostInSecondChunk", kSwRead, {kFirstChunk, timeout()}, -1, 2, true},
    {"PinWriteLostInFirstChunk", kSwWrite, {io_error()}, -1, 1, false},
    {"StatusJustBelowAllOnesIsNoFailure", kHwRead,
     std::vector<ReadStep>(3, reply_status(0xFFFFFFFE)), -2, 3, false}};

TEST(I2cTransfer, StopsAtTheFailingChunk) {
    for (const FailureCase &c : kFailures) {
        SCOPED_TRACE(c.name);
        Adapter a = attach(Transport::Hid);
        a.port->reads.assign(c.replies.begin(), c.replies.end());
        uint8_t buf[128] = {};
        EXPECT_EQ(c.transfer(a.handle, buf), c.result);
        EXPECT_EQ(a.port->writes.size(), c.exchanges);
        if (c.keeps_first_chunk) {
            EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0xA1, 0xA2, 0}));
        }
        link_close();
    }
}

struct RequestCase {
    const char *name;
    int (*command)(BridgeHandle);
    Bytes request; // bytes 0 onward of the expected request; the rest zero
    int result;    // with a reply of status 0xFFFFFFFF and word 0x40000
};

const RequestCase kRequests[] = {
    {"PinConfigLowBytes",
     [](BridgeHandle h) { return pin_config(h, 0x101, 0x203, 0x3FF, 2, 0x100, 4); },
     {0xA0, 0, 0, 0, 1, 3, 0xFF, 2, 0, 4}, 0},
    {"I2cInit", [](BridgeHandle h) { return i2c_init(h, 0x04030201, 5, 0x100, 0xFFFFFFFF); },
     {0xA4, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0, 0, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 0},
    // The levels, stored only on success (a failure returns -1 as it is).
    {"ReadPinStoresTheLevelWordOnlyOnSuccess",
     [](BridgeHandle h) {
         uint32_t levels = 0x5555;
         const int r = read_pin(h, 1, &levels);
         return r == 0 ? static_cast<int>(levels) : levels == 0x5555 ? r : -99;
     },
     {0xA2, 0, 0, 0, 1}, 0x40000}};

TEST(PinRequests, ComposeTheRequestAndIgnoreTheStatus) {
    for (const RequestCase &c : kRequests) {
        SCOPED_TRACE(c.name);
        Adapter a = attach(Transport::Hid);
        a.port->reads.push_back(reply(payload_words(0xFFFFFFFF, {0x00040000})));
        EXPECT_EQ(c.command(a.handle), c.result);
        ASSERT_EQ(a.port->writes.size(), 1u);
        Bytes expected = c.request;
        expected.resize(kPayloadSize, 0);
        EXPECT_EQ(Bytes(a.port->request(0), a.port->request(0) + 64), expected);
        EXPECT_EQ(c.command(a.handle), -1); // the same command without an answer
        link_close();
    }
}

} // namespace
