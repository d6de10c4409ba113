#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>

namespace support {

long loopback_peer_uid(int fd) {
    sockaddr_in peer{}, local{};
    socklen_t peer_size = sizeof peer, local_size = sizeof local;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_size) != 0 ||
        peer.sin_family != AF_INET || local.sin_family != AF_INET)
        return -1;
    std::FILE *table = std::fopen("/proc/net/tcp", "re");
    if (table == nullptr)
        return -1;
    long uid = -1;
    char line[512];
    while (uid < 0 && std::fgets(line, sizeof line, table) != nullptr) {
        unsigned from_ip = 0, from_port = 0, to_ip = 0, to_port = 0;
        unsigned long owner = 0;
        if (std::sscanf(line, " %*u: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %lu", &from_ip,
                        &from_port, &to_ip, &to_port, &owner) == 5 &&
            from_ip == peer.sin_addr.s_addr && from_port == ntohs(peer.sin_port) &&
            to_ip == local.sin_addr.s_addr && to_port == ntohs(local.sin_port))
            uid = static_cast<long>(owner);
    }
    std::fclose(table);
    return uid;
}

} // namespace support

#include <unistd.h>

namespace support {

bool loopback_peer_is_own_user(intptr_t socket) {
    return loopback_peer_uid(static_cast<int>(socket)) == static_cast<long>(::getuid());
}

} // namespace support
