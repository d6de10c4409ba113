// The adapter's firmware image file and flash geometry: the library sends
// images, the program checks them before it asks, and the kit's adapter
// model takes them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx5120::image {

// Header: the magic word, then the image version, both 32-bit little-endian;
// the flash pages follow.
constexpr uint32_t kMagic = 0x04050607;
constexpr uint32_t kHeaderSize = 8;

// The adapter's application flash: 1024 pages of 256 bytes (256 KiB).
constexpr uint32_t kPageSize = 256;
constexpr uint32_t kAdapterPages = 1024;
// Bytes of a page carried by one flash request.
constexpr uint32_t kFlashChunk = 56;

// A bootloader image: 16384 bytes, sent as 256 blocks of 64 bytes.
constexpr size_t kBootloaderSize = 16384;
constexpr size_t kBootloaderBlocks = 256;

} // namespace rx5120::image
