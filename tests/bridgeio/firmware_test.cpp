// Firmware and bootloader commands: image flashing, image files, versions,
// memory reads and the bootloader update.
#ifndef _WIN32
#include "../fifo_deadline.h"
#endif
#include "recording_port.h"

#include <gtest/gtest.h>

#include <string>

using namespace bridgeio;
using namespace bridgeio::test;

namespace {

constexpr uint32_t kEndMarkStatus = 1;

class FirmwareTest : public HidLinkTest {
  protected:
    // Accepts every flash request; the end mark (length word 0 after the
    // header) is answered with kEndMarkStatus.
    void accept_flash() {
        a.port->responder = [](RecordingPort &p, const uint8_t *req) {
            const bool end_mark = p.writes.size() > 1 && get_le32(req + 4) == 0;
            p.reads.push_back(reply_status(end_mark ? kEndMarkStatus : 0));
        };
    }

    // Checks a complete flash of `image`: header, 5 chunks per page (56, 56,
    // 56, 56, 32), the end mark; the last page filled up with 0xFF. Without
    // pages: nothing was sent.
    void expect_flash_of(Bytes image, size_t pages) {
        const size_t n = a.port->writes.size();
        ASSERT_EQ(n, pages ? 1 + 5 * pages + 1 : 0);
        if (pages == 0)
            return;
        image.resize(8 + 256 * pages, 0xFF);
        EXPECT_EQ(Bytes(a.port->request(0), a.port->request(0) + 12),
                  (Bytes{0xB1, 0, 0, 0, image[0], image[1], image[2], image[3], image[4], image[5], image[6], image[7]}));
        for (size_t k = 0; k < 5; ++k) { // the last page
            const size_t i = n - 6 + k, at = 8 + 256 * (pages - 1) + 56 * k, len = k < 4 ? 56 : 32;
            EXPECT_EQ(a.port->request_word(i, 0), 0xB1u);
            EXPECT_EQ(a.port->request_word(i, 4), len);
            EXPECT_EQ(Bytes(a.port->request(i) + 8, a.port->request(i) + 8 + len),
                      Bytes(image.begin() + at, image.begin() + at + len)) << "request " << i;
        }
        EXPECT_EQ(a.port->request_word(n - 1, 4), 0u);
    }
};

Bytes make_image(size_t size) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>(i * 13 + i / 256);
    if (size >= 8) {
        put_le32(image.data(), 0x04050607);
        put_le32(image.data() + 4, 0x00010203);
    }
    return image;
}

std::wstring wide(const std::string &s) { return std::wstring(s.begin(), s.end()); }

// Every byte behind the header is flashed, from memory or from a file (read
// whole, also above 256 KiB); an image with no page, or with more than the
// adapter's 1024, is refused without an exchange.
struct FlashCase {
    size_t size;
    size_t pages; // 0: refused
    bool from_file;
};

class SendFirmware : public FirmwareTest, public ::testing::WithParamInterface<FlashCase> {};

TEST_P(SendFirmware, SendsEveryPageOrNothing) {
    const FlashCase &c = GetParam();
    const Bytes image = make_image(c.size);
    TempDir dir;
    const std::string file = dir.add("firmware.bin", std::string(image.begin(), image.end()));
    accept_flash();
    EXPECT_EQ(c.from_file ? load_firmware(a.handle, wide(file).c_str())
                          : send_firmware(a.handle, image.data(), static_cast<uint32_t>(image.size())),
              c.pages ? static_cast<int>(kEndMarkStatus) : -1);
    expect_flash_of(image, c.pages);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SendFirmware,
                         ::testing::Values(FlashCase{7, 0, false}, FlashCase{8, 0, false},
                                           FlashCase{8 + 255, 1, false},
                                           FlashCase{8 + 1024 * 256, 1024, false},
                                           FlashCase{8 + 1024 * 256 + 1, 0, false},
                                           FlashCase{8 + 1024 * 256, 1024, true},
                                           FlashCase{8 + 1024 * 256 + 1, 0, true}));

// A refused header ends the flash with its status, a lost reply with -1.
TEST_F(FirmwareTest, FlashEndsAtTheFirstRefusalOrLostReply) {
    const Bytes image = make_image(8 + 2 * 256);
    struct Case {
        std::vector<ReadStep> reads;
        int result;
        size_t writes;
    };
    for (const Case &c :
         {Case{{reply_status(5)}, 5, 1}, Case{std::vector<ReadStep>(4, reply_status(0)), -1, 5}}) {
        a.port->writes.clear();
        a.port->reads.assign(c.reads.begin(), c.reads.end());
        EXPECT_EQ(send_firmware(a.handle, image.data(), static_cast<uint32_t>(image.size())), c.result);
        EXPECT_EQ(a.port->writes.size(), c.writes);
    }
    EXPECT_EQ(send_firmware(a.handle, nullptr, 100), -1);
}

TEST_F(FirmwareTest, UnreadableImageFileSendsNothing) {
    TempDir dir;
    const std::string missing = dir.path + "/firmware.bin";
    EXPECT_EQ(load_firmware(a.handle, wide(missing).c_str()), -1);
    EXPECT_EQ(load_firmware(a.handle, wide(dir.path).c_str()), -1); // a directory
    EXPECT_EQ(load_firmware(a.handle, nullptr), -1);
#ifdef _WIN32
    EXPECT_EQ(load_firmware(a.handle, L"NUL"), -1);             // a device
    EXPECT_EQ(load_firmware(a.handle, L"\\\\.\\COM1"), -1);     // another
#else
    fifo_deadline::make_fifo(missing);
    EXPECT_EQ(fifo_deadline::call_within_deadline(
                  missing, [&] { return load_firmware(a.handle, wide(missing).c_str()); }),
              -1);
#endif
    EXPECT_TRUE(a.port->writes.empty());
}

#ifdef _WIN32
// wchar_t names are UTF-16 there: a name outside any ANSI code page opens.
TEST_F(FirmwareTest, Utf16NameOpens) {
    TempDir dir;
    const std::filesystem::path name =
        std::filesystem::path(dir.path) / std::filesystem::path(L"\u0444\u2603.bin");
    const Bytes image = make_image(8 + 256);
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    accept_flash();
    EXPECT_EQ(load_firmware(a.handle, name.wstring().c_str()), static_cast<int>(kEndMarkStatus));
    expect_flash_of(image, 1);
}
#endif

struct VersionCase {
    bool answered;
    uint32_t word;
    int result;
    const char *text;
};

class Versions : public FirmwareTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(Versions, WordAndTextOfBothVersions) {
    const VersionCase &c = GetParam();
    // Bootloader word at byte 8, firmware word at byte 12 of the same reply.
    if (c.answered)
        a.port->reads = {reply(payload_words(0, {0, c.word, 0x00090807})),
                         reply(payload_words(0, {0, 0x00090807, c.word})),
                         reply(payload_words(0, {0, c.word}))};
    char boot[12] = "unchanged", firm[12] = "unchanged";

    EXPECT_EQ(get_bootloader_version(a.handle, boot), c.result);
    EXPECT_EQ(get_firmware_version(a.handle, firm), c.result);
    EXPECT_EQ(get_bootloader_version(a.handle, nullptr), c.result);
    EXPECT_STREQ(boot, c.text);
    EXPECT_STREQ(firm, c.text);
    EXPECT_EQ(a.port->request_word(0, 0), 0xB2u);
    EXPECT_EQ(a.port->request_word(1, 0), 0xB2u);
}

INSTANTIATE_TEST_SUITE_P(Words, Versions,
                         ::testing::Values(VersionCase{true, 0xFFFFFFFF, 0, "0.0.0"},
                                           VersionCase{true, 0x7FFFFEFD, 0x7FFFFEFD, "255.254.253"},
                                           VersionCase{false, 0, -1, "unchanged"}));

} // namespace
