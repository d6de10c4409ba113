#include "support/thread_id.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace support {

long current_thread_id() {
#ifdef _WIN32
    return static_cast<long>(::GetCurrentThreadId());
#else
    return static_cast<long>(::gettid());
#endif
}

} // namespace support
