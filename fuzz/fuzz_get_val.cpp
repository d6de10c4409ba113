// get_val on any text: it must read only up to the terminator, give 0 or -1,
// and agree with the plain forms it documents.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "registers/value_parse.h"
#include "fuzz_support.h"

namespace {

using fuzzkit::fail;

// The plain forms, each read as that number: 9 decimal, "0x" + 8 hex, "b" + 32 binary digits.
struct Form {
    const char *prefix, *digits;
    size_t max_digits;
    int base;
};
constexpr Form kForms[] = {
    {"", "0123456789", 9, 10}, {"0x", "0123456789abcdefABCDEF", 8, 16}, {"b", "01", 32, 2}};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly as long as the text: a read past the terminator is caught.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const char *t = text.data();
    const size_t length = strlen(t);

    uint32_t value = 0xA5A5A5A5u;
    const int r = evalpanel::get_val(t, &value);
    if (r != 0 && r != -1)
        fail("result neither 0 nor -1", t);
    if (r == -1 && value != 0xA5A5A5A5u)
        fail("value stored although the text was refused", t);
    for (const Form &f : kForms) {
        const size_t p = strlen(f.prefix), digits = length - p;
        if (length > p && digits <= f.max_digits && strncmp(t, f.prefix, p) == 0 &&
            strspn(t + p, f.digits) == digits &&
            (r != 0 || value != strtoul(t + p, nullptr, f.base)))
            fail("a plain form misread", t);
    }
    return 0;
}
