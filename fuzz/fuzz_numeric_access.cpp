// Address forms and field locations from any text: make_numeric_access into
// buffers of every size, the name lookups, and the field reads and writes on
// a location the input makes up, against the virtual kit.
//
// Input: byte 0 picks the buffer size, bytes 1-4 the value written, the rest
// is the text.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kit_session.h"
#include "registers/register_table.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &text) {
    fprintf(stderr, "\"%s\": %s\n", text.c_str(), what);
    abort();
}

// A buffer of exactly `size` bytes must hold a terminated text afterwards.
void check_terminated(const std::vector<char> &buffer, const char *who, const std::string &text) {
    if (!buffer.empty() && memchr(buffer.data(), '\0', buffer.size()) == nullptr)
        fail(who, text);
}

void numeric_access(evalpanel::DeviceSession &session, const std::string &text, size_t size,
                    uint32_t value) {
    std::vector<char> line(size, 'x');
    const int made = evalpanel::make_numeric_access(text.c_str(), line.data(), line.size());
    if (made != 0 && made != 1)
        fail("make_numeric_access gave neither 0 nor 1", text);
    if (made == 0)
        return;
    check_terminated(line, "make_numeric_access left its buffer unterminated", text);

    const uint32_t maximum = evalpanel::get_reg_max(line.data());
    unsigned address = 0;
    int high = 0, low = 0;
    if (sscanf(line.data(), "lreg(NUMERIC_ACCESS_0x%*2X,\t(RW,\"0x%2x[%d:%d]@0\"));", &address,
               &high, &low) == 3) {
        if (low < 0 || high > 7 || high < low)
            fail("bit range outside the register", text);
        if (maximum != (1u << (high - low + 1)) - 1)
            fail("field maximum does not match its bits", text);
    } else if (sscanf(line.data(), "hwreg(NUMERIC_ACCESS_0x%*2X,\t0x%2X _PAGE(0));", &address) ==
               1) {
        if (maximum != 255)
            fail("register maximum is not 255", text);
    } else {
        fail("made a line of no known form", text);
    }
    if (address > 0xFF)
        fail("address above 0xFF", text);

    evalpanel::get_reg_value(session, line.data());
    evalpanel::set_reg_value(session, line.data(), value & maximum);
    const int64_t read = evalpanel::get_reg_value(session, line.data());
    if (read > static_cast<int64_t>(maximum))
        fail("read a value above the field's maximum", text);
}

// The text as the location of a made-up field.
void field_ops(evalpanel::DeviceSession &session, const std::string &text, uint32_t value) {
    const std::string line = "lreg(FUZZ_FIELD,\t(RW, \"" + text + "\"));";
    const uint32_t maximum = evalpanel::get_reg_max(line.c_str());
    const int width = evalpanel::sweep_rd(session, text.c_str(), nullptr);
    if (width >= 0 && width <= 32 && maximum != (width == 32 ? 0xFFFFFFFFu : (1u << width) - 1))
        fail("field maximum does not match the location's width", text);
    uint32_t dest = 0;
    const int read_width = evalpanel::sweep_rd(session, text.c_str(), &dest);
    if (read_width >= 0 && read_width != width)
        fail("read covers other bits than the location", text);
    evalpanel::sweep_wr(session, text.c_str(), value);
    evalpanel::get_reg_value(session, line.c_str());
    evalpanel::set_reg_value(session, line.c_str(), value);
}

// A lookup that found something leaves the whole text, terminated, in the
// buffer; one that did not leaves the buffer as it was or empty.
void check_lookup(bool found, const std::vector<char> &buffer, const char *expected,
                  const char *who, const std::string &text) {
    if (buffer.empty())
        return;
    if (found) {
        if (memchr(buffer.data(), '\0', buffer.size()) == nullptr)
            fail(who, text);
        if (expected && strcmp(buffer.data(), expected) != 0)
            fail(who, text);
    } else if (buffer[0] != '\0' &&
               std::any_of(buffer.begin(), buffer.end(), [](char c) { return c != 'x'; })) {
        fail(who, text);
    }
}

void lookups(const std::string &text, size_t size, uint32_t value) {
    std::vector<char> buffer(size, 'x');
    int r = evalpanel::find_reg_by_name(text.c_str(), buffer.data(), buffer.size());
    if (r >= static_cast<int>(evalpanel::kRegisterTableSize))
        fail("find_reg_by_name gave an index outside the table", text);
    check_lookup(r >= 0, buffer, r >= 0 ? evalpanel::register_table[r] : nullptr,
                 "find_reg_by_name: bad buffer", text);

    std::fill(buffer.begin(), buffer.end(), 'x');
    r = evalpanel::find_io_pin_by_name(text.c_str(), buffer.data(), buffer.size());
    if (r >= static_cast<int>(evalpanel::kRegisterTableSize))
        fail("find_io_pin_by_name gave an index outside the table", text);
    check_lookup(r >= 0, buffer, r >= 0 ? evalpanel::register_table[r] : nullptr,
                 "find_io_pin_by_name: bad buffer", text);

    std::fill(buffer.begin(), buffer.end(), 'x');
    r = evalpanel::find_lreg_by_address(buffer.data(), buffer.size(), value & 0x1FF,
                                        static_cast<int>((value >> 9) & 0xF) - 4,
                                        static_cast<int>((value >> 13) & 0xF) - 4);
    check_lookup(r == 1, buffer, nullptr, "find_lreg_by_address: bad buffer", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5 || size > 1024)
        return -1;
    fuzzkit::KitSession kit;

    // Buffer sizes 0..255 and, now and then, the full line size.
    const size_t buffer_size = data[0] == 0xFF ? evalpanel::kLineSize : data[0];
    const uint32_t value = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 |
                           uint32_t(data[4]) << 24;
    const std::string text(reinterpret_cast<const char *>(data + 5), size - 5);
    const std::string c_text = text.c_str(); // up to the first zero byte

    numeric_access(kit.session, c_text, buffer_size, value);
    field_ops(kit.session, c_text, value);
    lookups(c_text, buffer_size, value);
    return 0;
}
