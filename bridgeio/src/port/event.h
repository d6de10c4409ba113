// A waitable completion flag (manual reset): on POSIX a file descriptor that
// is readable while the flag is set, for poll(); on Windows an event object,
// for WaitForSingleObject.
#pragma once

namespace bridgeio {

class ReadyEvent {
  public:
    ReadyEvent() = default;
    ReadyEvent(const ReadyEvent &) = delete;
    ReadyEvent &operator=(const ReadyEvent &) = delete;
    ~ReadyEvent();

    // Creates the descriptor or event if needed; false when that failed.
    bool open();
    void set();
    void reset();
    // What async_read hands its caller to wait on, stable for the object's
    // lifetime: the address of the descriptor (POSIX) or the event's handle.
    void *waitable() const;

  private:
#ifdef _WIN32
    void *handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

} // namespace bridgeio
