#include "support/loopback_peer.h"
#include "support/tcp_table.h"

#include <arpa/inet.h>
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
    TcpTableRow row;
    if (!find_tcp_table_row("/proc/net/tcp", peer.sin_addr.s_addr, ntohs(peer.sin_port),
                            local.sin_addr.s_addr, ntohs(local.sin_port), &row))
        return -1;
    return row.uid;
}

} // namespace support

#include <unistd.h>

namespace support {

bool loopback_peer_is_own_user(intptr_t socket) {
    return loopback_peer_uid(static_cast<int>(socket)) == static_cast<long>(::getuid());
}

std::string loopback_peer_user(intptr_t socket) {
    const long uid = loopback_peer_uid(static_cast<int>(socket));
    return uid < 0 ? std::string("an unknown user") : "uid " + std::to_string(uid);
}

} // namespace support
