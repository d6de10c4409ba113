// The completion flag on Windows: a manual-reset event, which is what the
// caller of async_read waits on (WaitForSingleObject).
#include "event.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace bridgeio {

ReadyEvent::~ReadyEvent() {
    if (handle_)
        ::CloseHandle(handle_);
}

bool ReadyEvent::open() {
    if (!handle_)
        handle_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return handle_ != nullptr;
}

void ReadyEvent::set() {
    if (handle_)
        ::SetEvent(handle_);
}

void ReadyEvent::reset() {
    if (handle_)
        ::ResetEvent(handle_);
}

void *ReadyEvent::waitable() const {
    return handle_;
}

} // namespace bridgeio
