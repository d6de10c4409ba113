// Field reads and writes: a definition line turned into register traffic.
#include "device/device_session.h"
#include "device/device_trace.h"
#include "registers/location.h"
#include "registers/register_table.h"

namespace evalpanel {

using detail::kMaxSegments;
using detail::low_mask;
using detail::Segment;
using detail::width_of;

int64_t get_reg_value(DeviceSession &session, const char *line) {
    if (line == nullptr)
        return -1;
    const int pos = detail::location_offset(line);
    if (pos >= 0) {
        uint32_t value = 0;
        if (sweep_rd(session, line + pos, &value) < 0)
            return -1;
        return value;
    }
    const int address = detail::hwreg_address(line);
    if (address < 0)
        return -1;
    return session.register_read(static_cast<uint8_t>(address));
}

int set_reg_value(DeviceSession &session, const char *line, uint32_t value) {
    if (line == nullptr)
        return -1;
    const int pos = detail::location_offset(line);
    if (pos >= 0)
        return sweep_wr(session, line + pos, value) < 0 ? -1 : 1;
    const int address = detail::hwreg_address(line);
    if (address < 0)
        return -1;
    // Only a write the chip took counts: without an adapter register_write
    // gives -1, and that is a failure here as well, not a done write.
    const int done =
        session.register_write(static_cast<uint8_t>(address), static_cast<uint8_t>(value & 0xFF));
    return done == 1 ? 1 : -1;
}

int sweep_rd(DeviceSession &session, const char *location, uint32_t *dest) {
    if (dest == nullptr)
        return detail::location_width(location);
    Segment segs[kMaxSegments];
    const int count = detail::split_location(location, "sweep_rd", true, segs);
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
        const int byte = session.register_read(static_cast<uint8_t>(s.address));
        if (byte < 0) {
            r = -1;
            continue;
        }
        const uint32_t bits = (static_cast<uint32_t>(byte) & low_mask(s.high + 1)) >> s.low;
        if (r < 32)
            *dest |= bits << r;
        r += width_of(s);
    }
    return r;
}

int sweep_wr(DeviceSession &session, const char *location, uint32_t value) {
    Segment segs[kMaxSegments];
    const int count = detail::split_location(location, "sweep_wr", false, segs);
    if (count < 0)
        return -1;
    int r = 0;
    for (int i = count - 1; i >= 0; --i) {
        const Segment &s = segs[i];
        const int width = width_of(s);
        const uint32_t part = r < 32 ? (value >> r) & low_mask(width) : 0;
        const uint8_t bits = static_cast<uint8_t>((part << s.low) & 0xFF);
        const int byte = session.register_read(static_cast<uint8_t>(s.address));
        if (byte < 0)
            return -1;
        const uint8_t field = static_cast<uint8_t>(low_mask(s.high + 1) & ~low_mask(s.low));
        const uint8_t merged = static_cast<uint8_t>((byte & ~field) | bits);
        // RegisterCache takes what the chip took; a write it did not take
        // ends the field write as failed, never as done.
        if (session.register_write(static_cast<uint8_t>(s.address), merged) != 1)
            return -1;
        r += width;
    }
    return r;
}

} // namespace evalpanel
