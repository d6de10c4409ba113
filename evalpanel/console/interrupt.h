// Stopping a running command: Escape in the console or the byte 0x03 from
// the network client asks for it; long commands (scripts, loops, wait, the
// bus test) look at it between their steps and end early. While they run,
// the event loop gets a turn every few milliseconds, so that the request
// can arrive at all and the window stays live.
#pragma once

#include <cstdint>
#include <functional>

namespace console {

class Interrupt {
  public:
    // Events get a turn at most this often while a command runs.
    static constexpr int64_t kSliceMs = 20;

    // `pump` lets pending events in; `clock` gives milliseconds.
    Interrupt(std::function<void()> pump, std::function<int64_t()> clock)
        : pump_(std::move(pump)), clock_(std::move(clock)) {}

    void request() { requested_ = true; }
    bool requested() const { return requested_; }
    void clear() { requested_ = false; }

    // Called between the steps of a long command: gives the event loop a
    // turn when the last one is kSliceMs ago, and tells whether the command
    // should stop.
    bool check() {
        if (!requested_ && pump_ && clock_) {
            const int64_t now = clock_();
            if (now - last_turn_ >= kSliceMs) {
                last_turn_ = now;
                pump_();
            }
        }
        return requested_;
    }

  private:
    std::function<void()> pump_;
    std::function<int64_t()> clock_;
    int64_t last_turn_ = 0;
    bool requested_ = false;
};

} // namespace console
