// The control port on Windows (Winsock). The thread polls in short slices so
// that the destructor can stop it without a wake-up pipe.
#include "control_server.h"

#include "support/loopback_peer.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>

namespace virtualkit {

namespace {
constexpr char kBusy[] = "error: another client is connected\n";
constexpr char kTooLong[] = "error: line too long\n";
constexpr char kOtherUser[] = "error: the kit takes commands from its own user only\n";
constexpr int kSliceMs = 50;

bool allowed(SOCKET s) {
    const char *any = std::getenv("BRIDGEIO_KIT_ANY_USER");
    if (any != nullptr && *any != '\0' && std::strcmp(any, "0") != 0)
        return true;
    return support::loopback_peer_is_own_user(static_cast<intptr_t>(s));
}

SOCKET sock(int fd) {
    return static_cast<SOCKET>(static_cast<unsigned>(fd));
}

std::string error_text(int code) {
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "socket error " + std::to_string(code) : s;
}
} // namespace

ControlServer::ControlServer(Handler handler) : handler_(std::move(handler)) {}

ControlServer::~ControlServer() {
    if (thread_.joinable()) {
        stop_ = true; // looked at by the thread between slices
        thread_.join();
    }
    close_client();
    if (listen_fd_ >= 0)
        ::closesocket(sock(listen_fd_));
}

bool ControlServer::start(uint16_t port, std::string *error) {
    WSADATA wsa;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        *error = "Winsock is not available";
        return false;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = error_text(::WSAGetLastError());
        return false;
    }
    listen_fd_ = static_cast<int>(s);
    // Exclusive: on Windows SO_REUSEADDR would let a second kit take the port.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one), sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(s, 4) != 0) {
        *error = error_text(::WSAGetLastError());
        return false;
    }
    int len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
}

void ControlServer::close_client() {
    if (client_fd_ >= 0)
        ::closesocket(sock(client_fd_));
    client_fd_ = -1;
}

bool ControlServer::send_all(std::string_view text) {
    while (!text.empty()) {
        const int n = ::send(sock(client_fd_), text.data(), static_cast<int>(text.size()), 0);
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void ControlServer::run() {
    std::string pending;
    bool skipping = false;
    while (!stop_) {
        WSAPOLLFD fds[2] = {{sock(listen_fd_), POLLRDNORM, 0}, {sock(client_fd_), POLLRDNORM, 0}};
        const ULONG count = client_fd_ >= 0 ? 2 : 1;
        if (::WSAPoll(fds, count, kSliceMs) <= 0)
            continue;
        if (fds[0].revents & POLLRDNORM) {
            const SOCKET c = ::accept(sock(listen_fd_), nullptr, nullptr);
            if (c != INVALID_SOCKET)
                serve_waiting_input(pending, skipping);
            if (c != INVALID_SOCKET && !allowed(c)) {
                ::send(c, kOtherUser, sizeof kOtherUser - 1, 0);
                ::closesocket(c);
            } else if (c != INVALID_SOCKET && client_fd_ >= 0) {
                ::send(c, kBusy, sizeof kBusy - 1, 0);
                ::closesocket(c);
            } else if (c != INVALID_SOCKET) {
                // A client that stops reading must not hold the kit's thread.
                const DWORD limit_ms = 2000;
                ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&limit_ms),
                             sizeof limit_ms);
                client_fd_ = static_cast<int>(c);
                pending.clear();
                skipping = false;
            }
        }
        if (count == 2 && fds[1].revents && fds[1].fd == sock(client_fd_))
            serve_input(pending, skipping);
    }
}

void ControlServer::serve_waiting_input(std::string &pending, bool &skipping) {
    while (client_fd_ >= 0) {
        WSAPOLLFD fd{sock(client_fd_), POLLRDNORM, 0};
        if (::WSAPoll(&fd, 1, 0) <= 0 || fd.revents == 0)
            return;
        serve_input(pending, skipping);
    }
}

void ControlServer::serve_input(std::string &pending, bool &skipping) {
    char buf[1024];
    const int n = ::recv(sock(client_fd_), buf, sizeof buf, 0);
    if (n <= 0) {
        close_client();
        return;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (skipping) {
            skipping = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!send_all(line.size() > kMaxLine ? std::string(kTooLong) : handler_(line))) {
            close_client();
            return;
        }
    }
    if (pending.size() > kMaxLine) {
        pending.clear();
        if (!skipping && !send_all(kTooLong)) {
            close_client();
            return;
        }
        skipping = true;
    }
}

} // namespace virtualkit
