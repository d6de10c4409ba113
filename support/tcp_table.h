// The Linux kernel's table of IPv4 TCP sockets (/proc/net/tcp), which names
// each socket's owner (uid) and file (inode; 0 once no process holds it).
// Read by the POSIX side, and by the Win32 side under wine, whose own TCP
// table names no owner for processes it does not run.
#pragma once

#include <cstdint>

namespace support {

struct TcpTableRow {
    long uid = -1;
    unsigned long inode = 0;
};

// The row of the connection from `from_ip`:`from_port` to `to_ip`:`to_port`
// (addresses in network order as in sockaddr_in, ports in host order) in
// the table at `path`; false when the table cannot be read or has none.
bool find_tcp_table_row(const char *path, uint32_t from_ip, unsigned from_port, uint32_t to_ip,
                        unsigned to_port, TcpTableRow *row);

} // namespace support
