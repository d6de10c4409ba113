// The kit's sense of time: the monotonic clock, or a manual clock that moves
// only when told to (tests, scripted demonstrations). Times are microseconds
// since the kit was created; they never go backwards, also across a switch
// between the two kinds.
#pragma once

#include <cstdint>

namespace virtualkit {

class Clock {
  public:
    Clock();

    uint64_t now_us() const;
    bool manual() const { return manual_; }

    // Switches between the real and the manual clock; the time read just
    // before the switch is where the new clock continues.
    void set_manual(bool manual);

    // Manual clock: moves forward by `us`, or to `t` when that is later.
    // No effect on the real clock.
    void advance(uint64_t us);
    void advance_to(uint64_t t);

    // Real clock: the kit time `t` as microseconds of the steady clock, for
    // waiting until it.
    int64_t to_steady_us(uint64_t t) const { return static_cast<int64_t>(t) - offset_; }

  private:
    static int64_t steady_us();

    bool manual_ = false;
    uint64_t manual_now_ = 0;
    int64_t offset_ = 0; // kit time = steady time + offset_
};

} // namespace virtualkit
