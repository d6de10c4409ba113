// Lookups over the definition lines and the field reads and writes that turn
// a line into register traffic.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "registers/device_access.h"
#include "registers/device_trace.h"
#include "registers/register_table.h"

namespace evalpanel {

namespace {

// Copies a whole line or name into the caller's buffer. A text that does not
// fit is not cut (a cut line could parse as a different field): the buffer is
// left empty and the result is false.
bool copy_whole(char *dst, std::size_t size, const char *src) {
    if (dst == nullptr || size == 0)
        return true;
    const std::size_t len = std::strlen(src);
    if (len >= size) {
        dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, src, len + 1);
    return true;
}

bool usable_name(const char *name) {
    return name != nullptr && name[0] != '\0' &&
           strnlen(name, kMaxNameLength + 1) <= kMaxNameLength;
}

// Shared by both name lookups: `format` reads the name of the line kinds
// searched; lines it does not fit are skipped.
int find_by_name(const char *name, char *line, std::size_t size, const char *const formats[],
                 std::size_t format_count) {
    if (!usable_name(name))
        return -1;
    for (std::size_t i = 0; i < kRegisterTableSize; ++i) {
        char found[kLineSize];
        bool scanned = false;
        for (std::size_t f = 0; f < format_count && !scanned; ++f)
            scanned = std::sscanf(register_table[i], formats[f], found) == 1;
        if (!scanned || std::strcmp(found, name) != 0)
            continue;
        qCDebug(lcDevice, "from array : %s", register_table[i]);
        return copy_whole(line, size, register_table[i]) ? static_cast<int>(i) : -1;
    }
    return -1;
}

// True when text[0..end) after the "0x" is one or two hex digits and nothing
// else. %x would also take a sign, blanks or a second "0x" prefix.
bool two_hex_digits(const char *text, int end) {
    const int digits = end - 2;
    if (digits < 1 || digits > 2)
        return false;
    for (int i = 2; i < end; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

bool valid_bits(int high, int low) {
    return low >= 0 && high <= 7 && high >= low;
}

// One segment of a location, as the sweeps read it.
struct Segment {
    unsigned address;
    int high;
    int low;
};

// A location has at most one segment per value bit.
constexpr int kMaxSegments = 32;

// Reads the segment at the start of `text` and traces it under `who`.
// Returns how far the next segment starts (12 behind a two-bit-number
// segment, 10 behind a one-bit one), 0 when the text holds no segment, and
// -1 for a segment that is not of the fixed form "0xAA[h:l]" / "0xAA[b]" with
// bit numbers 0..7 and high >= low: the fixed step would otherwise land in
// the middle of the next segment, and the shifts would use garbage.
int scan_segment(const char *text, const char *who, Segment *seg) {
    unsigned address = 0;
    int high = 0;
    int low = 0;
    int end = -1;
    int step = 12;
    int n = std::sscanf(text, "%x[%d:%d]%n", &address, &high, &low, &end);
    qCDebug(lcDevice, "%s addr=%x bith=%d bitl=%d", who, address, high, low);
    if (n < 3) {
        end = -1;
        n = std::sscanf(text, "%x[%d]%n", &address, &high, &end);
        qCDebug(lcDevice, "%s addr=%x bith=%d", who, address, high);
        if (n < 2)
            return 0;
        low = high;
        step = 10;
    }
    const int fixed_end = step == 12 ? 9 : 7;
    if (end != fixed_end || std::strncmp(text, "0x", 2) != 0 || !two_hex_digits(text, 4) ||
        !valid_bits(high, low))
        return -1;
    *seg = Segment{address, high, low};
    return step;
}

// Splits a location into its segments, tracing each step under `who`;
// `trace_text` also traces each remaining text as the read does. Returns the
// segment count, or -1 when a segment is malformed or there are too many.
int split_location(const char *location, const char *who, bool trace_text, Segment *segs) {
    if (location == nullptr)
        return -1;
    const char *p = location;
    for (int count = 0;; ++count) {
        if (trace_text)
            qCDebug(lcDevice, "sweep_rd : %s", p);
        else
            qCDebug(lcDevice, "sweep_wr");
        Segment seg{};
        const int step = scan_segment(p, who, &seg);
        if (step == 0)
            return count;
        if (step < 0 || count == kMaxSegments)
            return -1;
        segs[count] = seg;
        // The fixed step never runs past the end of the text.
        p += std::min<std::size_t>(static_cast<std::size_t>(step), std::strlen(p));
    }
}

int width_of(const Segment &s) {
    return s.high + 1 - s.low;
}

uint32_t low_mask(int bits) {
    return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
}

// Position just behind the opening quote of an lreg line's location, or -1
// when the line is not a complete lreg line (also when its name is longer
// than 63 characters: the name then never reaches its comma).
int location_offset(const char *line) {
    if (line == nullptr)
        return -1;
    char name[kMaxNameLength + 1];
    int pos = -1;
    if (std::sscanf(line, "lreg(%63[^,],%*[^\"]\"%n", name, &pos) < 1)
        return -1;
    return pos;
}

// Address of a complete hwreg line, or -1.
int hwreg_address(const char *line) {
    char name[kMaxNameLength + 1];
    unsigned address = 0;
    int page = 0;
    if (std::sscanf(line, "hwreg(%63[^,], 0x%02x _PAGE(%d));", name, &address, &page) != 3 ||
        address > 0xFF)
        return -1;
    return static_cast<int>(address);
}

} // namespace

int find_reg_by_name(const char *name) {
    return find_reg_by_name(name, nullptr, 0);
}

int find_reg_by_name(const char *name, char *line, std::size_t size) {
    static const char *const formats[] = {"lreg(%255[^,]", "hwreg(%255[^,]"};
    return find_by_name(name, line, size, formats, 2);
}

int find_io_pin_by_name(const char *name) {
    return find_io_pin_by_name(name, nullptr, 0);
}

int find_io_pin_by_name(const char *name, char *line, std::size_t size) {
    static const char *const formats[] = {"io_pin(%255[^,]"};
    return find_by_name(name, line, size, formats, 1);
}

int find_lreg_by_address(char *name, std::size_t size, unsigned address, int high, int low) {
    qCDebug(lcDevice, "find_lreg_by_address() addr=0x%02x[%d:%d]", address, high, low);
    for (std::size_t i = 0; i < kRegisterTableSize; ++i) {
        char found[kLineSize];
        unsigned first_address = 0;
        int first_bit = 0;
        if (std::sscanf(register_table[i], "lreg(%255[^,]%*[^\"]\"0x%x[%d", found, &first_address,
                        &first_bit) != 3)
            continue;
        if (first_address == address && first_bit == high)
            return copy_whole(name, size, found) ? 1 : 0;
    }
    return 0;
}

int make_numeric_access(const char *text, char *line, std::size_t size) {
    if (text == nullptr || line == nullptr || size == 0)
        return 0;
    unsigned address = 0;
    int high = 0;
    int low = 0;
    int end = -1;
    int written = -1;
    // Each form decides once all its values are read: a refused bit range is
    // never retried as a whole-register address.
    if (std::sscanf(text, "0x%x%n[%d:%d]", &address, &end, &high, &low) == 3) {
        if (!two_hex_digits(text, end) || !valid_bits(high, low))
            return 0;
        written =
            std::snprintf(line, size, "lreg(NUMERIC_ACCESS_0x%02X,\t(RW,\"0x%02x[%d:%d]@0\"));",
                          address, address, high, low);
    } else if (end = -1, std::sscanf(text, "0x%x%n[%d]", &address, &end, &high) == 2) {
        if (!two_hex_digits(text, end) || !valid_bits(high, high))
            return 0;
        written =
            std::snprintf(line, size, "lreg(NUMERIC_ACCESS_0x%02X,\t(RW,\"0x%02x[%d:%d]@0\"));",
                          address, address, high, high);
    } else if (end = -1, std::sscanf(text, "0x%x%n", &address, &end) == 1) {
        if (!two_hex_digits(text, end))
            return 0;
        written = std::snprintf(line, size, "hwreg(NUMERIC_ACCESS_0x%02X,\t0x%02X _PAGE(0));",
                                address, address);
    } else {
        return 0;
    }
    if (written < 0 || static_cast<std::size_t>(written) >= size) {
        line[0] = '\0';
        return 0;
    }
    qCDebug(lcDevice, "%s", line);
    return 1;
}

uint32_t get_reg_max(const char *line) {
    const int pos = location_offset(line);
    if (pos < 0)
        return 255;
    const int width = sweep_rd(line + pos, nullptr);
    return width < 0 ? 0 : low_mask(width);
}

int64_t get_reg_value(const char *line) {
    if (line == nullptr)
        return -1;
    const int pos = location_offset(line);
    if (pos >= 0) {
        uint32_t value = 0;
        if (sweep_rd(line + pos, &value) < 0)
            return -1;
        return value;
    }
    const int address = hwreg_address(line);
    if (address < 0)
        return -1;
    return register_read(static_cast<uint8_t>(address));
}

int set_reg_value(const char *line, uint32_t value) {
    if (line == nullptr)
        return -1;
    const int pos = location_offset(line);
    if (pos >= 0)
        return sweep_wr(line + pos, value) < 0 ? -1 : 1;
    const int address = hwreg_address(line);
    if (address < 0)
        return -1;
    // Only a write the chip took counts: without an adapter register_write
    // gives -1, and that is a failure here as well, not a done write.
    const int done =
        register_write(static_cast<uint8_t>(address), static_cast<uint8_t>(value & 0xFF));
    return done == 1 ? 1 : -1;
}

int sweep_rd(const char *location, uint32_t *dest) {
    Segment segs[kMaxSegments];
    const int count = split_location(location, "sweep_rd", true, segs);
    if (count < 0)
        return -1;
    // The rest of the location comes first: the last segment is read first
    // and lands in the least significant bits.
    int r = 0;
    for (int i = count - 1; i >= 0; --i) {
        const Segment &s = segs[i];
        qCDebug(lcDevice, "retval=%d bith=%d bitl=%d", r, s.high, s.low);
        if (r == -1)
            return -1;
        if (dest != nullptr) {
            const int byte = register_read(static_cast<uint8_t>(s.address));
            if (byte < 0) {
                r = -1;
                continue;
            }
            const uint32_t bits = (static_cast<uint32_t>(byte) & low_mask(s.high + 1)) >> s.low;
            if (r < 32)
                *dest |= bits << r;
        }
        r += width_of(s);
    }
    return r;
}

int sweep_wr(const char *location, uint32_t value) {
    Segment segs[kMaxSegments];
    const int count = split_location(location, "sweep_wr", false, segs);
    if (count < 0)
        return -1;
    int r = 0;
    for (int i = count - 1; i >= 0; --i) {
        const Segment &s = segs[i];
        const int width = width_of(s);
        const uint32_t part = r < 32 ? (value >> r) & low_mask(width) : 0;
        const uint8_t bits = static_cast<uint8_t>((part << s.low) & 0xFF);
        const int byte = register_read(static_cast<uint8_t>(s.address));
        if (byte < 0)
            return -1;
        const uint8_t field = static_cast<uint8_t>(low_mask(s.high + 1) & ~low_mask(s.low));
        const uint8_t merged = static_cast<uint8_t>((byte & ~field) | bits);
        // The write reports its own failure; the cache follows what was sent.
        register_write(static_cast<uint8_t>(s.address), merged);
        device().register_cache[s.address] = merged;
        r += width;
    }
    return r;
}

} // namespace evalpanel
