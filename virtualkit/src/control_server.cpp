#include "control_server.h"

#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace virtualkit {

namespace {
constexpr char kBusy[] = "error: another client is connected\n";
constexpr char kTooLong[] = "error: line too long\n";
constexpr char kOtherUser[] = "error: the kit takes commands from its own user only\n";

// Only the user running the kit drives it, unless BRIDGEIO_KIT_ANY_USER is
// set (the program's --allow-any-user sets it).
bool allowed(int fd) {
    const char *any = std::getenv("BRIDGEIO_KIT_ANY_USER");
    if (any != nullptr && *any != '\0' && std::strcmp(any, "0") != 0)
        return true;
    return support::loopback_peer_is_own_user(fd);
}
} // namespace

ControlServer::ControlServer(Handler handler) : handler_(std::move(handler)) {}

ControlServer::~ControlServer() {
    if (thread_.joinable()) {
        const char stop = 'q';
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &stop, 1);
        thread_.join();
    }
    close_client();
    for (int fd : {listen_fd_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

bool ControlServer::start(uint16_t port, std::string *error) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        *error = std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 4) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
}

void ControlServer::close_client() {
    if (client_fd_ >= 0)
        ::close(client_fd_);
    client_fd_ = -1;
}

bool ControlServer::send_all(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::send(client_fd_, text.data(), text.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void ControlServer::run() {
    std::string pending;
    bool skipping = false;
    for (;;) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}, {client_fd_, POLLIN, 0}};
        const nfds_t count = client_fd_ >= 0 ? 3 : 2;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            // The client before may have closed without the kit having
            // seen it yet: its last lines and its end are taken first, so
            // that a client that follows at once is not turned away.
            if (fd >= 0)
                serve_waiting_input(pending, skipping);
            if (fd >= 0 && !allowed(fd)) {
                [[maybe_unused]] ssize_t n =
                    ::send(fd, kOtherUser, sizeof kOtherUser - 1, MSG_NOSIGNAL);
                ::close(fd);
            } else if (fd >= 0 && client_fd_ >= 0) {
                [[maybe_unused]] ssize_t n = ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL);
                ::close(fd);
            } else if (fd >= 0) {
                // A client that stops reading must not hold the kit's thread.
                const timeval limit{2, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                client_fd_ = fd;
                pending.clear();
                skipping = false;
            }
        }
        // Only the client that poll looked at: a new one has nothing yet.
        if (count == 3 && fds[2].revents && fds[2].fd == client_fd_)
            serve_input(pending, skipping);
    }
}

void ControlServer::serve_waiting_input(std::string &pending, bool &skipping) {
    while (client_fd_ >= 0) {
        pollfd fd{client_fd_, POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0 || fd.revents == 0)
            return;
        serve_input(pending, skipping);
    }
}

void ControlServer::serve_input(std::string &pending, bool &skipping) {
    char buf[1024];
    const ssize_t n = ::recv(client_fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        close_client();
        return;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (skipping) { // the tail of a line already refused
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
