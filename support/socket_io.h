// Non-blocking reads and writes on a connected TCP socket that the program
// handles itself (a descriptor on POSIX, a SOCKET on Windows), without the
// signal a broken connection raises on POSIX.
#pragma once

#include <cstddef>
#include <cstdint>

namespace support {

// What a read or a write did: n > 0 bytes moved; 0 the end of the stream
// (reads only); kWouldBlock nothing now; kBroken the connection failed.
constexpr long kWouldBlock = -1;
constexpr long kBroken = -2;

// Puts the socket in non-blocking mode; false when it cannot.
bool socket_set_nonblocking(intptr_t socket);

// Sends at once, without Nagle's delay waiting for an acknowledgement.
void socket_set_no_delay(intptr_t socket);

long socket_receive(intptr_t socket, char *buffer, size_t size);
long socket_send(intptr_t socket, const char *data, size_t size);

// Ends the sending side (the peer reads the end of the stream).
void socket_shutdown_send(intptr_t socket);

void socket_close(intptr_t socket);

} // namespace support
