#include "support/socket_io.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

namespace support {

namespace {

// Winsock's calls take at most INT_MAX bytes.
int clamp(size_t size) {
    return size > 0x40000000u ? 0x40000000 : static_cast<int>(size);
}

long outcome(int n) {
    if (n != SOCKET_ERROR)
        return n;
    const int e = ::WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR ? kWouldBlock : kBroken;
}

} // namespace

bool socket_set_nonblocking(intptr_t socket) {
    u_long on = 1;
    return ::ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &on) == 0;
}

void socket_set_no_delay(intptr_t socket) {
    const BOOL on = TRUE;
    ::setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char *>(&on), sizeof on);
}

long socket_receive(intptr_t socket, char *buffer, size_t size) {
    return outcome(::recv(static_cast<SOCKET>(socket), buffer, clamp(size), 0));
}

long socket_send(intptr_t socket, const char *data, size_t size) {
    return outcome(::send(static_cast<SOCKET>(socket), data, clamp(size), 0));
}

void socket_shutdown_send(intptr_t socket) {
    ::shutdown(static_cast<SOCKET>(socket), SD_SEND);
}

void socket_close(intptr_t socket) {
    ::closesocket(static_cast<SOCKET>(socket));
}

} // namespace support
