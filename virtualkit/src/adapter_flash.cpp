// The adapter's bootloader side: versions, starting the firmware, writing a
// firmware image into flash page by page, replacing the bootloader, and
// reading memory.
//
// A firmware image arrives as a header (magic and version), then chunks of
// at most 56 bytes that fill 256-byte pages in order, then an end mark (a
// chunk of length 0). Accepting a header erases the old firmware; only a
// complete image with its end mark makes the new version current.
#include "adapter.h"

#include <algorithm>
#include <cstring>

namespace virtualkit {

namespace {

constexpr size_t kMaxChunk = rx5120::image::kFlashChunk;
constexpr int kBootloaderBlocks = static_cast<int>(rx5120::image::kBootloaderBlocks);

// Status words of the flash requests.
constexpr uint32_t kFlashOk = 0;
constexpr uint32_t kBadMagic = 2;
constexpr uint32_t kBadChunk = 3;
constexpr uint32_t kPartialPage = 4;
constexpr uint32_t kFlashFull = 5;

void set_status(Outcome &out, uint32_t status) {
    put_le32(out.reply.data(), status);
}

} // namespace

void Adapter::fill_synthetic_firmware() {
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    uint32_t x = 0x0E1A5120;
    put_le32(&flash_[0], 0x20010000);
    put_le32(&flash_[4], kAppBase + 0x101);
    for (size_t i = 8; i < 40 * 1024; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        flash_[i] = static_cast<uint8_t>(x);
    }
}

void Adapter::set_firmware(uint32_t version) {
    if (version == kNoVersion) {
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        if (mode_ == Mode::Firmware)
            mode_ = Mode::Bootloader;
    } else if (fw_version_ == kNoVersion) {
        fill_synthetic_firmware();
    }
    fw_version_ = version;
}

void Adapter::versions(Outcome &out) const {
    put_le32(out.reply.data() + 4, mode_ == Mode::Firmware ? 1 : 0);
    put_le32(out.reply.data() + 8, bl_version_);
    put_le32(out.reply.data() + 12, fw_version_);
}

void Adapter::start_firmware(Outcome &out) {
    if (fw_version_ == kNoVersion || flash_state_ != Flash::Idle) {
        set_status(out, kFailStatus);
        put_le32(out.reply.data() + 4, kFailStatus);
        return;
    }
    mode_ = Mode::Firmware;
}

void Adapter::flash_request(const uint8_t *req, Outcome &out) {
    const uint32_t word = get_le32(req + 4);
    if (word == kImageMagic) {
        // A header, also in the middle of an image: a new attempt starts over.
        flash_state_ = Flash::Receiving;
        incoming_version_ = get_le32(req + 8);
        page_fill_ = 0;
        pages_written_ = 0;
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        fw_version_ = kNoVersion;
        set_status(out, kFlashOk);
        return;
    }
    if (flash_state_ != Flash::Receiving) {
        set_status(out, kBadMagic); // not a header: refused, nothing changes
        return;
    }
    if (word == 0) {
        flash_state_ = Flash::Idle;
        if (page_fill_ != 0) {
            set_status(out, kPartialPage);
            return;
        }
        fw_version_ = incoming_version_;
        set_status(out, kFlashOk);
        return;
    }
    if (word > kMaxChunk) {
        flash_state_ = Flash::Idle;
        set_status(out, kBadChunk);
        return;
    }
    flash_chunk(req + 8, word, out);
}

void Adapter::flash_chunk(const uint8_t *data, size_t n, Outcome &out) {
    for (size_t i = 0; i < n; ++i) {
        page_[page_fill_++] = data[i];
        if (page_fill_ < kPageSize)
            continue;
        if (pages_written_ >= kFlashPages) {
            flash_state_ = Flash::Idle;
            set_status(out, kFlashFull);
            return;
        }
        std::memcpy(&flash_[pages_written_ * kPageSize], page_.data(), kPageSize);
        ++pages_written_;
        page_fill_ = 0;
    }
    set_status(out, kFlashOk);
}

void Adapter::begin_bootloader_update(Outcome &) {
    blocks_left_ = kBootloaderBlocks;
    incoming_bootloader_.assign(kBootloaderSize, 0xFF);
}

// One 64-byte block of a new bootloader; the last one puts it in place. An
// image that begins like a firmware image (magic, version) also sets the
// bootloader version; any other keeps the version it had.
void Adapter::bootloader_block(const uint8_t *req, Outcome &out) {
    const int index = kBootloaderBlocks - blocks_left_;
    std::memcpy(&incoming_bootloader_[static_cast<size_t>(index) * 64], req, 64);
    put_le32(out.reply.data() + 4, static_cast<uint32_t>(index));
    if (--blocks_left_ > 0)
        return;
    bootloader_ = incoming_bootloader_;
    if (get_le32(&bootloader_[0]) == kImageMagic)
        bl_version_ = get_le32(&bootloader_[4]);
}

uint8_t Adapter::memory_byte(uint32_t address) const {
    if (address < kBootloaderSize)
        return bootloader_[address];
    if (address >= kAppBase && address - kAppBase < flash_.size())
        return flash_[address - kAppBase];
    if (address >= kScriptBase && address - kScriptBase < kScriptMemory)
        return script_[address - kScriptBase];
    return 0;
}

// The whole reply is memory: 64 bytes from the address on (bootloader at 0,
// application flash at 0x4000, script memory at 0x20000000, zeros elsewhere).
void Adapter::read_memory(const uint8_t *req, Outcome &out) const {
    const uint32_t address = get_le32(req + 4);
    for (uint32_t i = 0; i < 64; ++i)
        out.reply[i] = memory_byte(address + i);
}

} // namespace virtualkit
