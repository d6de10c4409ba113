// Lookups over the definition lines, numeric address forms and field widths:
// text only, no register traffic.
#include <cstdio>
#include <cstring>

#include "registers/registers_trace.h"
#include "registers/location.h"
#include "registers/register_table.h"

// Info and above are on by default; the debug-level trace lines are off until
// a logging rule enables them.
Q_LOGGING_CATEGORY(lcRegisters, "evalpanel.registers", QtInfoMsg)

namespace evalpanel {

using detail::two_hex_digits;
using detail::valid_bits;

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
        qCDebug(lcRegisters, "from array : %s", register_table[i]);
        return copy_whole(line, size, register_table[i]) ? static_cast<int>(i) : -1;
    }
    return -1;
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
    qCDebug(lcRegisters, "find_lreg_by_address() addr=0x%02x[%d:%d]", address, high, low);
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
    qCDebug(lcRegisters, "%s", line);
    return 1;
}

uint32_t get_reg_max(const char *line) {
    const int pos = detail::location_offset(line);
    if (pos < 0)
        return 255;
    const int width = detail::location_width(line + pos);
    return width < 0 ? 0 : detail::low_mask(width);
}

} // namespace evalpanel
