// Who is at the other end of a loopback TCP connection.
#pragma once

namespace support {

// The user owning the other end of the IPv4 TCP connection on `fd`, looked
// up in the kernel's socket table (/proc/net/tcp), where the peer's socket
// is listed with its own address first; -1 when it cannot be found (also for
// anything but an IPv4 socket).
long loopback_peer_uid(int fd);

} // namespace support
