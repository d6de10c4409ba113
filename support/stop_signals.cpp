#include "support/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace support {

namespace {

int wake_fd = -1;

void on_stop_signal(int signal) {
    // Only a write is safe here; the watching thread does the rest.
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    if (::write(wake_fd, &number, 1) < 0) {
        // Nothing to do about it inside a handler.
    }
    errno = saved;
}

} // namespace

void watch_stop_signals(std::function<void(int signal)> on_signal) {
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    wake_fd = fds[1];
    std::thread([read_fd = fds[0], on_signal = std::move(on_signal)] {
        unsigned char number = 0;
        for (;;) {
            const ssize_t n = ::read(read_fd, &number, 1);
            if (n == 1)
                on_signal(number);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return;
        }
    }).detach();
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace support
