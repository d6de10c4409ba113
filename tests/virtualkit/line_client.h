// A client of the kit's control port on 127.0.0.1: sends text, reads whole
// answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace kit_test {

class LineClient {
  public:
    explicit LineClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr); // else: "<closed>"
    }
    ~LineClient() { ::close(fd_); }
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;

    bool send(const std::string &s) {
        return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }

    // Reads up to the answer's closing line ("ok" or an error); the rest
    // waits for the next call. An answer that never closes ends in
    // "<time-out>" or "<closed>".
    std::string answer() {
        for (char buf[4096];;) {
            for (size_t start = 0, end; (end = pending_.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                if (pending_.compare(start, end + 1 - start, "ok\n") == 0 ||
                    pending_.compare(start, 7, "error: ") == 0) {
                    const std::string got = pending_.substr(0, end + 1);
                    pending_.erase(0, end + 1);
                    return got;
                }
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return pending_ + "<time-out>";
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return pending_ + "<closed>";
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    int fd_;
    std::string pending_;
};

} // namespace kit_test
