#include "support/socket_io.h"

#include <cerrno>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace support {

namespace {

long outcome(ssize_t n) {
    if (n >= 0)
        return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kWouldBlock : kBroken;
}

} // namespace

bool socket_set_nonblocking(intptr_t socket) {
    const int fd = static_cast<int>(socket);
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void socket_set_no_delay(intptr_t socket) {
    const int on = 1;
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

long socket_receive(intptr_t socket, char *buffer, size_t size) {
    return outcome(::recv(static_cast<int>(socket), buffer, size, MSG_DONTWAIT));
}

long socket_send(intptr_t socket, const char *data, size_t size) {
    return outcome(::send(static_cast<int>(socket), data, size, MSG_DONTWAIT | MSG_NOSIGNAL));
}

void socket_shutdown_send(intptr_t socket) {
    ::shutdown(static_cast<int>(socket), SHUT_WR);
}

void socket_close(intptr_t socket) {
    ::close(static_cast<int>(socket));
}

} // namespace support
