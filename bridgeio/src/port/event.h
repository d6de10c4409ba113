// A pollable completion flag: a file descriptor that is readable while the
// flag is set (manual reset), so callers can wait on it with poll().
#pragma once

namespace bridgeio {

class ReadyEvent {
  public:
    ReadyEvent() = default;
    ReadyEvent(const ReadyEvent &) = delete;
    ReadyEvent &operator=(const ReadyEvent &) = delete;
    ~ReadyEvent();

    // Creates the descriptor if needed; false when that failed.
    bool open();
    void set();
    void reset();
    // Address of the descriptor, stable for the object's lifetime.
    const int *fd() const { return &fd_; }

  private:
    int fd_ = -1;
};

} // namespace bridgeio
