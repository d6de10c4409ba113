// The owner of a loopback peer on Windows: the TCP table lists each
// connection with the process that owns it; that process's token names its
// user, which must be ours.
#include "support/loopback_peer.h"
#include "support/peer_gone.h"
#include "support/tcp_table.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace support {

namespace {

// The user SID of a process's token, copied; empty when it cannot be read.
std::vector<unsigned char> user_sid(HANDLE process) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> info(size);
    std::vector<unsigned char> sid;
    if (size > 0 && ::GetTokenInformation(token, TokenUser, info.data(), size, &size)) {
        PSID s = reinterpret_cast<TOKEN_USER *>(info.data())->User.Sid;
        if (::IsValidSid(s)) {
            const DWORD n = ::GetLengthSid(s);
            sid.resize(n);
            ::CopySid(n, sid.data(), s);
        }
    }
    ::CloseHandle(token);
    return sid;
}

struct TcpRow {
    bool listed = false; // false also when the table cannot be read
    bool table_read = false;
    DWORD pid = 0;
    DWORD state = 0;
};

// The TCP table's row for the connection from `from` to `to`.
TcpRow tcp_row(const sockaddr_in &from, const sockaddr_in &to) {
    TcpRow found;
    std::vector<unsigned char> table;
    DWORD size = 0;
    DWORD r = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the two calls: ask again until it fits.
    for (int attempt = 0; attempt < 4 && r == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        table.resize(size + 4096);
        size = static_cast<DWORD>(table.size());
        r = ::GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET,
                                  TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    }
    if (r != NO_ERROR)
        return found;
    found.table_read = true;
    const auto *rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID *>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID &row = rows->table[i];
        // Ports are in the low 16 bits, in network order like the addresses.
        if (row.dwLocalAddr == from.sin_addr.s_addr &&
            static_cast<u_short>(row.dwLocalPort) == from.sin_port &&
            row.dwRemoteAddr == to.sin_addr.s_addr &&
            static_cast<u_short>(row.dwRemotePort) == to.sin_port) {
            found.listed = true;
            found.pid = row.dwOwningPid;
            found.state = row.dwState;
            return found;
        }
    }
    return found;
}

// The process owning the connection from `from` to `to`; 0 when not listed.
DWORD owning_process(const sockaddr_in &from, const sockaddr_in &to) {
    return tcp_row(from, to).pid;
}

// The two ends of a connected IPv4 socket; false for anything else.
bool ends(SOCKET s, sockaddr_in *peer, sockaddr_in *local) {
    int peer_size = sizeof *peer, local_size = sizeof *local;
    return ::getpeername(s, reinterpret_cast<sockaddr *>(peer), &peer_size) == 0 &&
           ::getsockname(s, reinterpret_cast<sockaddr *>(local), &local_size) == 0 &&
           peer->sin_family == AF_INET && local->sin_family == AF_INET;
}

// The process at the other end, asked again for a little while: the table
// may not know the owner of a connection this young yet (wine fills it in
// lazily). 0 when none is named.
DWORD peer_process(SOCKET s) {
    sockaddr_in peer{}, local{};
    if (!ends(s, &peer, &local))
        return 0;
    DWORD pid = 0;
    for (int attempt = 0; attempt < 20 && (pid = owning_process(peer, local)) == 0; ++attempt)
        ::Sleep(10);
    return pid;
}

// wine's TCP table names no owner for processes it does not run (a Linux
// client), nor for every connection of those it does: under wine the host's
// own socket table, which names the user of every socket, is asked instead.
bool under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const char kHostTcpTable[] = "Z:\\proc\\net\\tcp";

// The host's row for the connection from the peer to us.
bool host_row(SOCKET s, TcpTableRow *row) {
    sockaddr_in peer{}, local{};
    return ends(s, &peer, &local) &&
           find_tcp_table_row(kHostTcpTable, peer.sin_addr.s_addr, ntohs(peer.sin_port),
                              local.sin_addr.s_addr, ntohs(local.sin_port), row);
}

// The host's user running this process; -1 when it cannot be read.
long host_uid() {
    std::FILE *status = std::fopen("Z:\\proc\\self\\status", "r");
    if (!status)
        return -1;
    long uid = -1;
    char line[256];
    while (uid < 0 && std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "Uid: %ld", &uid) != 1)
            uid = -1;
    std::fclose(status);
    return uid;
}

std::string sid_text(const std::vector<unsigned char> &sid) {
    char *text = nullptr;
    if (sid.empty() || !::ConvertSidToStringSidA(const_cast<unsigned char *>(sid.data()), &text))
        return "an unknown user";
    std::string out(text);
    ::LocalFree(text);
    return out;
}

std::vector<unsigned char> process_user(DWORD pid) {
    if (pid == 0)
        return {};
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return {};
    std::vector<unsigned char> sid = user_sid(process);
    ::CloseHandle(process);
    return sid;
}

} // namespace

long loopback_peer_uid(int) {
    return -1;
}

bool loopback_peer_is_own_user(intptr_t socket) {
    if (under_wine()) {
        TcpTableRow row;
        return host_row(static_cast<SOCKET>(socket), &row) && row.uid >= 0 &&
               row.uid == host_uid();
    }
    const std::vector<unsigned char> theirs = process_user(peer_process(static_cast<SOCKET>(socket)));
    const std::vector<unsigned char> ours = user_sid(::GetCurrentProcess());
    return !ours.empty() && theirs == ours;
}

std::string loopback_peer_user(intptr_t socket) {
    if (under_wine()) {
        TcpTableRow row;
        return host_row(static_cast<SOCKET>(socket), &row) ? "uid " + std::to_string(row.uid)
                                                           : std::string("an unknown user");
    }
    return sid_text(process_user(peer_process(static_cast<SOCKET>(socket))));
}

bool loopback_peer_gone(intptr_t socket) {
    sockaddr_in peer{}, local{};
    if (!ends(static_cast<SOCKET>(socket), &peer, &local))
        return true; // reset: nobody is there any more
    if (under_wine()) {
        TcpTableRow host;
        return !host_row(static_cast<SOCKET>(socket), &host) || host.inode == 0;
    }
    const TcpRow row = tcp_row(peer, local);
    if (!row.table_read)
        return false;
    if (!row.listed)
        return true;
    // A socket its process closed (or that ended with its process) is
    // finished by the system alone, which owns it then (process 0).
    return row.pid == 0;
}

} // namespace support
