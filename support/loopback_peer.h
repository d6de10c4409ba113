// Who is at the other end of a loopback TCP connection.
#pragma once

#include <cstdint>
#include <string>

namespace support {

// The user owning the other end of the IPv4 TCP connection on `fd`, looked
// up in the kernel's socket table (/proc/net/tcp), where the peer's socket
// is listed with its own address first; -1 when it cannot be found (also for
// anything but an IPv4 socket). POSIX only.
long loopback_peer_uid(int fd);

// True when the other end of the IPv4 TCP connection on `socket` (a file
// descriptor, or a SOCKET on Windows) belongs to a process of the user
// running this one. On Windows the owning process comes from the TCP table
// (GetExtendedTcpTable) and its user SID is compared with ours; under wine,
// whose table names no owner for a Linux process, the host's socket table
// gives the peer's user, compared with the one running wine. False when
// that cannot be found out.
bool loopback_peer_is_own_user(intptr_t socket);

// The owner of the other end as a message names it: "uid 1001" on POSIX,
// the user's SID ("S-1-5-21-...") on Windows, "an unknown user" when it
// cannot be found.
std::string loopback_peer_user(intptr_t socket);

} // namespace support
