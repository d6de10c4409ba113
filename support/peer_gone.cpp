#include "support/peer_gone.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>

namespace support {

bool loopback_peer_gone(int fd) {
    sockaddr_in peer{}, local{};
    socklen_t peer_size = sizeof peer, local_size = sizeof local;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0)
        return true; // reset: nobody is there any more
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_size) != 0 ||
        peer.sin_family != AF_INET || local.sin_family != AF_INET)
        return false;
    std::FILE *table = std::fopen("/proc/net/tcp", "re");
    if (table == nullptr)
        return false;
    bool found = false;
    unsigned long inode = 0;
    char line[512];
    while (!found && std::fgets(line, sizeof line, table) != nullptr) {
        unsigned from_ip = 0, from_port = 0, to_ip = 0, to_port = 0;
        // An orphaned socket (its file closed, the kernel finishing the
        // connection alone) has the inode 0.
        if (std::sscanf(line, " %*u: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %*u %*d %lu",
                        &from_ip, &from_port, &to_ip, &to_port, &inode) == 5 &&
            from_ip == peer.sin_addr.s_addr && from_port == ntohs(peer.sin_port) &&
            to_ip == local.sin_addr.s_addr && to_port == ntohs(local.sin_port))
            found = true;
    }
    std::fclose(table);
    return !found || inode == 0;
}

} // namespace support
