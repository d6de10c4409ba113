#include "support/peer_gone.h"
#include "support/tcp_table.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace support {

bool loopback_peer_gone(intptr_t socket) {
    const int fd = static_cast<int>(socket);
    sockaddr_in peer{}, local{};
    socklen_t peer_size = sizeof peer, local_size = sizeof local;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0)
        return true; // reset: nobody is there any more
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_size) != 0 ||
        peer.sin_family != AF_INET || local.sin_family != AF_INET)
        return false;
    // An orphaned socket (its file closed, the kernel finishing the
    // connection alone) has the inode 0.
    TcpTableRow row;
    return !find_tcp_table_row("/proc/net/tcp", peer.sin_addr.s_addr, ntohs(peer.sin_port),
                               local.sin_addr.s_addr, ntohs(local.sin_port), &row) ||
           row.inode == 0;
}

} // namespace support
