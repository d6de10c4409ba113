// Whether the process at the other end of a loopback TCP connection still
// holds its socket.
#pragma once

#include <cstdint>

namespace support {

// True when the other end of the IPv4 loopback connection on `socket` has been
// closed for good (closed, or its process ended or was killed): its socket
// is listed in the kernel's socket table without an owner, or not at all.
// False while a process still holds it, also when it only shut its sending
// side, and when that cannot be told. A received end of stream alone
// cannot tell the two apart.
bool loopback_peer_gone(intptr_t socket);

} // namespace support
