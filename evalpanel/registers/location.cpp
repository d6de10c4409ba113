#include "registers/location.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "registers/registers_trace.h"
#include "registers/register_table.h"

namespace evalpanel::detail {

namespace {

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
    qCDebug(lcRegisters, "%s addr=%x bith=%d bitl=%d", who, address, high, low);
    if (n < 3) {
        end = -1;
        n = std::sscanf(text, "%x[%d]%n", &address, &high, &end);
        qCDebug(lcRegisters, "%s addr=%x bith=%d", who, address, high);
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

} // namespace

bool two_hex_digits(const char *text, int end) {
    const int digits = end - 2;
    if (digits < 1 || digits > 2)
        return false;
    for (int i = 2; i < end; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

int split_location(const char *location, const char *who, bool trace_text, Segment *segs) {
    if (location == nullptr)
        return -1;
    const char *p = location;
    for (int count = 0;; ++count) {
        if (trace_text)
            qCDebug(lcRegisters, "sweep_rd : %s", p);
        else
            qCDebug(lcRegisters, "sweep_wr");
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

int location_width(const char *location) {
    Segment segs[kMaxSegments];
    const int count = split_location(location, "sweep_rd", true, segs);
    if (count < 0)
        return -1;
    int r = 0;
    for (int i = count - 1; i >= 0; --i) {
        qCDebug(lcRegisters, "retval=%d bith=%d bitl=%d", r, segs[i].high, segs[i].low);
        r += width_of(segs[i]);
    }
    return r;
}

int location_offset(const char *line) {
    if (line == nullptr)
        return -1;
    char name[kMaxNameLength + 1];
    int pos = -1;
    if (std::sscanf(line, "lreg(%63[^,],%*[^\"]\"%n", name, &pos) < 1)
        return -1;
    return pos;
}

int hwreg_address(const char *line) {
    char name[kMaxNameLength + 1];
    unsigned address = 0;
    int page = 0;
    if (std::sscanf(line, "hwreg(%63[^,], 0x%02x _PAGE(%d));", name, &address, &page) != 3 ||
        address > 0xFF)
        return -1;
    return static_cast<int>(address);
}

} // namespace evalpanel::detail
