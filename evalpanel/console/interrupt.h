// Stopping a running command: Escape in the console or the byte 0x03 from
// the network client asks for it from the GUI thread; long commands
// (scripts, loops, wait, the bus test) look at it on the device thread
// between their steps and end early. An atomic flag, nothing more: no
// events are handled in the middle of a command.
#pragma once

#include <atomic>

namespace console {

class Interrupt {
  public:
    void request() { requested_ = true; }
    bool requested() const { return requested_; }
    void clear() { requested_ = false; }
    // Between the steps of a long command: whether it should stop.
    bool check() const { return requested_; }

  private:
    std::atomic<bool> requested_{false};
};

} // namespace console
