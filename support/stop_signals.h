// The requests to stop a process that has no window: Ctrl+C, a terminal
// that closes, a `kill` or a CI time-out.
#pragma once

#include <functional>

namespace support {

// From now on SIGINT, SIGTERM and SIGHUP no longer end the process: each
// calls `on_signal` with the signal's number, on a thread of its own (never
// inside the signal handler), so that it may do anything. Call once.
void watch_stop_signals(std::function<void(int signal)> on_signal);

// The exit status that tells a caller the process ended by `signal`.
inline int stop_signal_status(int signal) { return 128 + signal; }

} // namespace support
