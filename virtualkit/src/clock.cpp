#include "clock.h"

#include <chrono>

namespace virtualkit {

int64_t Clock::steady_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

Clock::Clock() : offset_(-steady_us()) {}

uint64_t Clock::now_us() const {
    if (manual_)
        return manual_now_;
    int64_t t = steady_us() + offset_;
    return t < 0 ? 0 : static_cast<uint64_t>(t);
}

void Clock::set_manual(bool manual) {
    if (manual == manual_)
        return;
    uint64_t t = now_us();
    manual_ = manual;
    if (manual)
        manual_now_ = t;
    else
        offset_ = static_cast<int64_t>(t) - steady_us();
}

void Clock::advance(uint64_t us) {
    if (manual_)
        manual_now_ += us;
}

void Clock::advance_to(uint64_t t) {
    if (manual_ && t > manual_now_)
        manual_now_ = t;
}

} // namespace virtualkit
