// The console's requests to stop on Windows: Ctrl+C, Ctrl+Break, the
// console window closing, the user logging off or the system shutting
// down. Each is told as the POSIX signal a user of the program already
// knows it by, so that the exit statuses are the same on both systems.
#include "support/stop_signals.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <utility>

namespace support {

namespace {

std::function<void(int)> *handler = nullptr;

// POSIX numbers (Windows' signal.h has no SIGHUP).
constexpr int kInterrupt = 2;  // SIGINT
constexpr int kHangUp = 1;     // SIGHUP
constexpr int kTerminate = 15; // SIGTERM

int signal_of(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        return kInterrupt;
    case CTRL_BREAK_EVENT:
        // What a parent sends a console process group to stop it.
        return kTerminate;
    case CTRL_CLOSE_EVENT:
        return kHangUp;
    default: // CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT
        return kTerminate;
    }
}

BOOL WINAPI on_console_event(DWORD event) {
    // The system calls this on a thread of its own, so anything may be done
    // here.
    (*handler)(signal_of(event));
    // After a close, log-off or shut-down the system ends the process as
    // soon as this returns: it waits instead, for the program's own exit
    // (the system's grace time still bounds it).
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
}

} // namespace

void watch_stop_signals(std::function<void(int signal)> on_signal) {
    handler = new std::function<void(int)>(std::move(on_signal));
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

} // namespace support
