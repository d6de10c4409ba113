// The kit's loopback control port: a TCP listener on 127.0.0.1 served by its
// own thread, one client at a time. Each line a client sends is handed to
// the handler and its answer sent back; a second client is told so and
// closed; a line longer than the limit is answered with an error and
// skipped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace virtualkit {

class ControlServer {
  public:
    using Handler = std::function<std::string(std::string_view)>;
    static constexpr size_t kMaxLine = 512;

    explicit ControlServer(Handler handler);
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Listens on 127.0.0.1:`port` (0: a free port chosen by the system) and
    // starts the thread. False, with the reason in *error, when the port
    // cannot be had.
    bool start(uint16_t port, std::string *error);
    uint16_t port() const { return port_; }

  private:
    void run();
    void serve_input(std::string &pending, bool &skipping);
    void serve_waiting_input(std::string &pending, bool &skipping);
    void close_client();
    bool send_all(std::string_view text);

    Handler handler_;
    int listen_fd_ = -1;
    int client_fd_ = -1;
    int wake_[2] = {-1, -1};   // POSIX: the pipe that stops the thread
    std::atomic<bool> stop_{false}; // Windows: looked at between polls
    uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace virtualkit
