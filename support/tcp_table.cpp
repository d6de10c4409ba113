#include "support/tcp_table.h"

#include <cstdio>

namespace support {

bool find_tcp_table_row(const char *path, uint32_t from_ip, unsigned from_port, uint32_t to_ip,
                        unsigned to_port, TcpTableRow *row) {
    std::FILE *table = std::fopen(path, "r");
    if (table == nullptr)
        return false;
    bool found = false;
    char line[512];
    while (!found && std::fgets(line, sizeof line, table) != nullptr) {
        unsigned a = 0, a_port = 0, b = 0, b_port = 0;
        unsigned long uid = 0, inode = 0;
        if (std::sscanf(line, " %*u: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %lu %*d %lu", &a,
                        &a_port, &b, &b_port, &uid, &inode) == 6 &&
            a == from_ip && a_port == from_port && b == to_ip && b_port == to_port) {
            row->uid = static_cast<long>(uid);
            row->inode = inode;
            found = true;
        }
    }
    std::fclose(table);
    return found;
}

} // namespace support
