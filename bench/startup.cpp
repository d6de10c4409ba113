#include "startup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "measure.h"

extern char **environ;

namespace bench {

namespace {

constexpr int64_t kGiveUpNs = 30'000'000'000; // 30 s

// A port nobody listens on now, chosen by the system.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// A connected socket to the console, or -1.
int connect_console(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long status_kib(pid_t pid, const char *key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0)
            return std::stol(line.substr(n + 1));
    return 0;
}

bool child_alive(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// Waits for a whole line from fd until `deadline`; false on time-out or EOF.
bool await_line(int fd, int64_t deadline) {
    char buffer[4096];
    while (wall_ns() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        if (std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr)
            return true;
    }
    return false;
}

} // namespace

StartupFigures measure_startup(const std::string &program, const std::string &workdir,
                               int settle_ms) {
    StartupFigures f;
    // Free ports, and no kit control port: the program may run beside
    // another instance or the test suite.
    const int port = free_port();
    if (port <= 0) {
        f.error = "no free port";
        return f;
    }

    // The child's environment: ours with the offscreen platform.
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0)
            env_text.emplace_back(*e);
    env_text.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char *> envp;
    for (std::string &s : env_text)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string program_arg = program;
    std::string port_option = "--console-port", port_arg = std::to_string(port);
    std::string kit_option = "--kit-port", kit_arg = "0";
    char *argv[] = {program_arg.data(), port_option.data(), port_arg.data(),
                    kit_option.data(),  kit_arg.data(),     nullptr};

    char old_dir[4096];
    if (getcwd(old_dir, sizeof old_dir) == nullptr || chdir(workdir.c_str()) != 0) {
        f.error = "cannot enter " + workdir;
        return f;
    }
    const int64_t start = wall_ns();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data());
    if (chdir(old_dir) != 0) {
        // The benchmark keeps running in the work folder; nothing depends on it.
    }
    if (spawned != 0) {
        f.error = "cannot start " + program + ": " + std::strerror(spawned);
        return f;
    }

    int fd = -1;
    while (fd < 0 && wall_ns() - start < kGiveUpNs && child_alive(pid)) {
        fd = connect_console(port);
        if (fd < 0)
            usleep(500);
    }
    if (fd >= 0) {
        f.listen_ms = static_cast<double>(wall_ns() - start) / 1e6;
        const char probe[] = "i2c_bus()\n";
        if (write(fd, probe, sizeof probe - 1) == static_cast<ssize_t>(sizeof probe - 1) &&
            await_line(fd, start + kGiveUpNs)) {
            f.ready_ms = static_cast<double>(wall_ns() - start) / 1e6;
            usleep(static_cast<useconds_t>(settle_ms) * 1000);
            f.peak_rss_kib = status_kib(pid, "VmHWM:");
            f.ok = f.peak_rss_kib > 0;
        }
        close(fd);
    }
    if (!f.ok && f.error.empty())
        f.error = "the program did not answer on its console within 30 s";
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return f;
}

} // namespace bench
