// The adapter's bootloader and firmware: switching between them, their
// versions, flashing a firmware image, replacing the bootloader, and
// reading adapter memory.
#include "link.h"
#include "chip/firmware_image.h"
#include "support/regular_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bridgeio {

namespace {

using rx5120::image::kAdapterPages;
using rx5120::image::kBootloaderBlocks;
using rx5120::image::kFlashChunk;
using rx5120::image::kPageSize;
constexpr uint32_t kImageHeaderSize = rx5120::image::kHeaderSize;
constexpr size_t kLargestImage = kImageHeaderSize + size_t{kAdapterPages} * kPageSize;

// Sends one 256-byte page in chunks of 56 bytes, or the end mark (a chunk
// of length 0) when `page` is null. 0, or -1.
int send_flashpage(BridgeHandle h, const uint8_t *page) {
    if (!page) {
        begin_command(cmd::kFlash);
        return rd2(h) == 0 ? 0 : -1;
    }
    for (uint32_t off = 0; off < kPageSize; off += kFlashChunk) {
        const uint32_t n = kPageSize - off < kFlashChunk ? kPageSize - off : kFlashChunk;
        begin_command(cmd::kFlash);
        put_le32(obuffer + 4, n);
        std::memcpy(obuffer + 8, page + off, n);
        if (rd2(h) != 0)
            return -1;
    }
    return 0;
}

// The version word at `offset` of a versions reply; -1 when the exchange failed.
int read_version(BridgeHandle h, size_t offset, char *text) {
    begin_command(cmd::kVersions);
    if (rd2(h) != 0)
        return -1;
    uint32_t v = get_le32(obuffer + offset);
    if (v == 0xFFFFFFFFu) // nothing programmed
        v = 0;
    if (text)
        std::snprintf(text, 12, "%d.%d.%d", static_cast<int>((v >> 16) & 0xFF),
                      static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF));
    return static_cast<int>(v);
}

// Reads the image file, or as much of it as tells that it is larger than the
// adapter's flash (send_firmware refuses such an image). False when it is no
// regular file or cannot be read.
bool read_image_file(const char *path, std::vector<uint8_t> &image) {
    const int fd = support::open_regular_file(path);
    if (fd < 0)
        return false;
    std::FILE *f = fdopen(fd, "rb");
    if (!f) {
        support::close_file(fd);
        return false;
    }
    image.resize(kLargestImage + 1);
    size_t total = 0;
    while (total < image.size()) {
        size_t n = std::fread(image.data() + total, 1, image.size() - total, f);
        if (n == 0)
            break;
        total += n;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed)
        return false;
    image.resize(total);
    return true;
}

// Exchanges a switch between bootloader and firmware. The switch may make
// the adapter re-enumerate; the link follows it behind the same handle. When
// the exchange itself failed because the node went away, the request is sent
// once more to the adapter found again, whose reply tells how it came back.
// 0 with the reply in obuffer, or -1.
int switch_modes(BridgeHandle h, uint8_t command) {
    for (int attempt = 0;; ++attempt) {
        begin_command(command);
        const bool answered = rd2(h) == 0;
        const Relink link = follow_reenumeration(h, answered);
        if (answered)
            return link == Relink::Lost ? -1 : 0;
        if (link != Relink::Reopened || attempt > 0)
            return -1;
    }
}

} // namespace

} // namespace bridgeio

using namespace bridgeio;

extern "C" {

BRIDGEIO_API int return_to_bootloader(BridgeHandle handle) {
    return switch_modes(handle, cmd::kReturnToBootloader);
}

BRIDGEIO_API int start_firmware(BridgeHandle handle) {
    if (switch_modes(handle, cmd::kStartFirmware) != 0)
        return -1;
    return static_cast<int>(get_le32(obuffer + 4));
}

BRIDGEIO_API int get_bootloader_version(BridgeHandle handle, char *text) {
    return read_version(handle, 8, text);
}

BRIDGEIO_API int get_firmware_version(BridgeHandle handle, char *text) {
    return read_version(handle, 12, text);
}

BRIDGEIO_API int load_firmware(BridgeHandle handle, const wchar_t *path) {
    if (!path)
        return -1;
    bool ok = false;
    const std::string name = support::path_from_wide(path, &ok);
    if (!ok)
        return -1;
    std::vector<uint8_t> image;
    if (!read_image_file(name.c_str(), image))
        return -1;
    return send_firmware(handle, image.data(), static_cast<uint32_t>(image.size()));
}

namespace {
BridgeFlashProgress flash_progress = nullptr;
void *flash_progress_context = nullptr;
} // namespace

BRIDGEIO_API void set_flash_progress(BridgeFlashProgress callback, void *context) {
    flash_progress = callback;
    flash_progress_context = context;
}

BRIDGEIO_API int send_firmware(BridgeHandle handle, const uint8_t *image, uint32_t size) {
    // Without a whole header there is no image to announce.
    if (!image || size < kImageHeaderSize)
        return -1;
    // Every byte behind the header is flashed: a trailing partial page is
    // filled up with 0xFF, what erased flash reads. An image without a page,
    // or with more than the flash holds, would leave firmware on the adapter
    // that is not the image: it is not announced at all.
    const uint32_t body = size - kImageHeaderSize;
    const uint32_t pages = body / kPageSize + (body % kPageSize != 0 ? 1 : 0);
    if (pages == 0 || pages > kAdapterPages)
        return -1;

    begin_command(cmd::kFlash);
    std::memcpy(obuffer + 4, image, kImageHeaderSize); // magic and version, as they are
    if (rd2(handle) != 0)
        return -1;
    if (uint32_t status = reply_status(); status != 0)
        return static_cast<int>(status);

    for (uint32_t i = 0; i < pages; ++i) {
        const uint8_t *page = image + kImageHeaderSize + i * kPageSize;
        uint8_t last[kPageSize];
        if (body - i * kPageSize < kPageSize) {
            std::memset(last, 0xFF, sizeof last);
            std::memcpy(last, page, body - i * kPageSize);
            page = last;
        }
        if (send_flashpage(handle, page) != 0)
            return -1;
        if (flash_progress != nullptr)
            flash_progress(flash_progress_context, i + 1, pages);
    }
    if (send_flashpage(handle, nullptr) != 0)
        return -1;
    return static_cast<int>(reply_status());
}

BRIDGEIO_API int read_m(BridgeHandle handle, uint32_t address, uint8_t *out) {
    begin_command(address == 0 ? (cmd::kReadMemoryAtZeroFlag | cmd::kReadMemory) : cmd::kReadMemory);
    put_le32(obuffer + 4, address);
    if (rd2(handle) != 0)
        return -1;
    if (out)
        std::memcpy(out, obuffer, kPayloadSize);
    return 0;
}

BRIDGEIO_API int update_bootloader(BridgeHandle handle, const uint8_t *image) {
    if (!image)
        return -1;
    // The announcement is sent once, outside the exchange's retry.
    begin_command(cmd::kUpdateBootloader);
    if (int r = wr(handle); r != 0)
        return r;
    if (int r = rd(handle); r != 0)
        return r;
    for (size_t i = 0; i < kBootloaderBlocks; ++i) {
        std::memcpy(obuffer, image + i * kPayloadSize, kPayloadSize);
        if (rd2(handle) != 0)
            return -1;
    }
    return 0;
}

} // extern "C"
