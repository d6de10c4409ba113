// Reading a field's location: the segments "0xAA[h:l]" and "0xAA[b]" at
// fixed widths, and the parts of a definition line the field operations
// need. Shared by the lookups and the field reads and writes.
#pragma once

#include <cstdint>

namespace evalpanel::detail {

// One segment of a location.
struct Segment {
    unsigned address;
    int high;
    int low;
};

// A location has at most one segment per value bit.
constexpr int kMaxSegments = 32;

inline int width_of(const Segment &s) {
    return s.high + 1 - s.low;
}

inline uint32_t low_mask(int bits) {
    return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
}

// True when text[2..end) is one or two hex digits and nothing else (the
// text starts with "0x"). %x would also take a sign, blanks or a second "0x"
// prefix.
bool two_hex_digits(const char *text, int end);

// Bit numbers 0..7, high not below low.
inline bool valid_bits(int high, int low) {
    return low >= 0 && high <= 7 && high >= low;
}

// Splits a location into its segments, tracing each step under `who`;
// `trace_text` also traces each remaining text as the read does. Returns the
// segment count, or -1 when a segment is malformed or there are too many.
int split_location(const char *location, const char *who, bool trace_text, Segment *segs);

// The bits covered by a location (the read without a destination), or -1
// for a malformed location. Traces as the read does.
int location_width(const char *location);

// Position just behind the opening quote of an lreg line's location, or -1
// when the line is not a complete lreg line (also when its name is longer
// than 63 characters: the name then never reaches its comma).
int location_offset(const char *line);

// Address of a complete hwreg line, or -1.
int hwreg_address(const char *line);

} // namespace evalpanel::detail
