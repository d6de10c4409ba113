// A register expression line (read or assignment, by name or by address)
// against the virtual kit through the real library and device layer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/reg_expression.h"
#include "kit_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096)
        return -1;
    static fuzzkit::KitHost host;
    fuzzkit::open_kit(host);

    // The text up to its first zero byte is the line the console hands over.
    const std::string line(reinterpret_cast<const char *>(data), size);
    const int r = console::reg_expression(host, line.c_str());
    if (r != 1 && r != -1) {
        fprintf(stderr, "reg_expression gave %d\n", r);
        abort();
    }
    // A line that is not an expression passes on untouched: the next handler
    // (or "Syntax error") speaks for it.
    if (r == -1 && (host.printed != 0 || host.logged != 0)) {
        fprintf(stderr, "reg_expression declined the line but printed or logged\n");
        abort();
    }
    // An expression always answers: a value, a message or a log line.
    if (r == 1 && host.printed == 0 && host.logged == 0) {
        fprintf(stderr, "reg_expression took the line silently\n");
        abort();
    }
    fuzzkit::close_kit();
    return 0;
}
