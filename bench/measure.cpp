#include "measure.h"

#include <cstdio>
#include <ctime>

namespace bench {

namespace {
int64_t read_clock(clockid_t id) {
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
} // namespace

int64_t wall_ns() {
    return read_clock(CLOCK_MONOTONIC);
}

int64_t cpu_ns() {
    return read_clock(CLOCK_PROCESS_CPUTIME_ID);
}

Stopwatch::Stopwatch() : wall_(wall_ns()), cpu_(cpu_ns()) {}

void Stopwatch::stop() {
    wall_ = wall_ns() - wall_;
    cpu_ = cpu_ns() - cpu_;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace bench
