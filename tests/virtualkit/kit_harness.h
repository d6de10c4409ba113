// A test fixture that talks to the virtual kit with raw 64-byte request
// reports, on the manual clock.
#pragma once

#include "kit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace kit_test {

using Report = std::array<uint8_t, 64>;

inline uint32_t le32(const Report &r, size_t at) {
    return r[at] | r[at + 1] << 8 | r[at + 2] << 16 | static_cast<uint32_t>(r[at + 3]) << 24;
}

// A request report: the command word, then fields at byte offsets.
struct Request {
    Report bytes{};
    explicit Request(uint32_t word) { u32(0, word); }
    Request &u32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
        return *this;
    }
    Request &u8(size_t at, unsigned v) {
        bytes[at] = static_cast<uint8_t>(v);
        return *this;
    }
    Request &data(size_t at, const void *d, size_t n) {
        std::memcpy(&bytes[at], d, n);
        return *this;
    }
};

constexpr virtualkit::Identity kIdentity{0x1209, 0x5120};

class KitTest : public ::testing::Test {
  protected:
    KitTest() : kit(std::make_shared<virtualkit::Kit>(kIdentity)) {
        control("clock manual");
        session = kit->open(kIdentity.vendor_id, kIdentity.product_id);
    }
    // One command line that must succeed; its answer.
    std::string control(const std::string &line) {
        const std::string a = kit->control(line);
        EXPECT_TRUE(a.size() >= 3 && a.compare(a.size() - 3, 3, "ok\n") == 0) << line << a;
        return a;
    }
    Report exchange(const Request &r) {
        EXPECT_EQ(kit->write(*session, r.bytes.data()), 0);
        Report reply{};
        EXPECT_EQ(kit->read(*session, reply.data(), 1000), 0);
        return reply;
    }
    uint32_t status(const Request &r) { return le32(exchange(r), 0); }
    void pin_set(int group, int pin, int level) {
        exchange(Request(0xA1).u8(4, group).u8(5, pin).u8(6, level));
    }
    uint32_t read_pins(int group) { return le32(exchange(Request(0xA2).u8(4, group)), 4); }
    // One pin-driven read chunk; a chip register, or -1.
    Report sw_read(uint8_t dev, uint8_t reg, unsigned n) {
        return exchange(Request(0xA9).u8(4, n).u8(5, reg).u8(6, 1).u8(7, dev).u8(8, n == 60));
    }
    int chip_read(uint8_t reg) {
        const Report r = sw_read(0x60, reg, 1);
        return le32(r, 0) == 0xFFFFFFFF ? -1 : r[4];
    }
    void load_script(const uint8_t *s, size_t n, uint32_t offset = 0) {
        for (size_t off = 0, len; off < n; off += len) {
            len = std::min<size_t>(n - off, 53);
            const uint32_t at = offset + static_cast<uint32_t>(off);
            ASSERT_EQ(status(Request(0xC2).u32(4, at).u8(8, 0xFE).u8(9, len).data(11, s + off, len)),
                      0u);
        }
    }
    Report run_script(uint32_t offset = 0) { return exchange(Request(0xC2).u32(4, offset)); }
    // VIOSYS, NRST and NSLP up, then the sequence's time.
    void power_chip() {
        for (int pin : {22, 24, 23})
            pin_set(0, pin, 1);
        control("advance 200");
    }

    std::shared_ptr<virtualkit::Kit> kit;
    std::shared_ptr<virtualkit::Session> session;
};

} // namespace kit_test
