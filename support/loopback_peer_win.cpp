// The owner of a loopback peer on Windows: the TCP table lists each
// connection with the process that owns it; that process's token names its
// user, which must be ours.
#include "support/loopback_peer.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <memory>
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

// The process owning the connection from `from` to `to`; 0 when not listed.
DWORD owning_process(const sockaddr_in &from, const sockaddr_in &to) {
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
        return 0;
    const auto *rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID *>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID &row = rows->table[i];
        // Ports are in the low 16 bits, in network order like the addresses.
        if (row.dwLocalAddr == from.sin_addr.s_addr &&
            static_cast<u_short>(row.dwLocalPort) == from.sin_port &&
            row.dwRemoteAddr == to.sin_addr.s_addr &&
            static_cast<u_short>(row.dwRemotePort) == to.sin_port)
            return row.dwOwningPid;
    }
    return 0;
}

} // namespace

long loopback_peer_uid(int) {
    return -1;
}

bool loopback_peer_is_own_user(intptr_t socket) {
    const SOCKET s = static_cast<SOCKET>(socket);
    sockaddr_in peer{}, local{};
    int peer_size = sizeof peer, local_size = sizeof local;
    if (::getpeername(s, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr *>(&local), &local_size) != 0 ||
        peer.sin_family != AF_INET || local.sin_family != AF_INET)
        return false;
    // The table may not know the owner of a connection this young yet
    // (wine fills it in lazily): it is asked again for a little while.
    DWORD pid = 0;
    for (int attempt = 0; attempt < 20 && (pid = owning_process(peer, local)) == 0; ++attempt)
        ::Sleep(10);
    if (pid == 0)
        return false;
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    const std::vector<unsigned char> theirs = user_sid(process);
    ::CloseHandle(process);
    const std::vector<unsigned char> ours = user_sid(::GetCurrentProcess());
    return !ours.empty() && theirs == ours;
}

} // namespace support
