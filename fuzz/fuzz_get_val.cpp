// get_val on any text: it must read only up to the terminator, give 0 or -1,
// and agree with the plain forms it documents.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/value_parse.h"

namespace {

bool all_of(const char *text, size_t length, const char *allowed) {
    return length > 0 && strspn(text, allowed) == length;
}

[[noreturn]] void fail(const char *what, const char *text) {
    fprintf(stderr, "get_val(\"%s\"): %s\n", text, what);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly as long as the text: a read past the terminator is caught.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const size_t length = strlen(text.data());

    uint32_t value = 0xA5A5A5A5u;
    const int r = console::get_val(text.data(), &value);
    if (r != 0 && r != -1)
        fail("result neither 0 nor -1", text.data());
    if (r == -1 && value != 0xA5A5A5A5u)
        fail("value stored although the text was refused", text.data());

    // A short plain decimal number reads as itself.
    if (all_of(text.data(), length, "0123456789") && length <= 9) {
        if (r != 0 || value != strtoul(text.data(), nullptr, 10))
            fail("decimal misread", text.data());
    }
    // "0x" and up to eight hex digits read as that number.
    if (length > 2 && length <= 10 && text[0] == '0' && text[1] == 'x' &&
        all_of(text.data() + 2, length - 2, "0123456789abcdefABCDEF")) {
        if (r != 0 || value != strtoul(text.data() + 2, nullptr, 16))
            fail("hex misread", text.data());
    }
    // "b" and up to 32 binary digits.
    if (length > 1 && length <= 33 && text[0] == 'b' && all_of(text.data() + 1, length - 1, "01")) {
        if (r != 0 || value != strtoul(text.data() + 1, nullptr, 2))
            fail("binary misread", text.data());
    }
    return 0;
}
