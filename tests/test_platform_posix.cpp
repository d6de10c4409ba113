#include "test_platform.h"

#include <cerrno>
#include <csignal>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_platform {

static rlimit saved_limit{};
static bool limited = false;

bool make_fifo(const std::string &path) { return ::mkfifo(path.c_str(), 0600) == 0; }

void release_fifo_reader(const std::string &path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
}

bool is_fifo(const std::string &path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

bool make_symlink(const std::string &target, const std::string &link) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

std::string character_device(const std::string &own) {
    // As root, a save that wrongly replaced /dev/null would break the
    // machine: root gets a node of its own.
    if (::geteuid() == 0 && ::mknod(own.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        return own;
    return "/dev/null";
}

bool is_character_device(const std::string &path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

bool limit_file_size(long long bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    if (!limited && ::getrlimit(RLIMIT_FSIZE, &saved_limit) != 0)
        return false;
    limited = true;
    rlimit small = saved_limit;
    small.rlim_cur = static_cast<rlim_t>(bytes);
    return ::setrlimit(RLIMIT_FSIZE, &small) == 0;
}

void restore_file_size() {
    if (limited)
        ::setrlimit(RLIMIT_FSIZE, &saved_limit);
    limited = false;
}

bool request_stop(long long pid, Stop stop, std::string *why) {
    const int signal = stop == Stop::Interrupt ? SIGINT : stop == Stop::Terminate ? SIGTERM : SIGHUP;
    if (::kill(static_cast<pid_t>(pid), signal) == 0)
        return true;
    *why = "kill failed";
    return false;
}

void reset_on_close(intptr_t socket) {
    const linger reset{1, 0};
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

bool connect_as_other_user(unsigned short port, const Wait &wait, std::string *said,
                           std::string *user, std::string *why) {
    if (::getuid() != 0) {
        *why = "needs root to connect as another user";
        return false;
    }
    // The child writes what it was told into a pipe and ends.
    int report[2];
    if (::pipe2(report, O_NONBLOCK) != 0) {
        *why = "no pipe";
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        char text[256] = {};
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
                [[maybe_unused]] ssize_t n = ::recv(fd, text, sizeof text - 1, MSG_WAITALL);
            }
        }
        [[maybe_unused]] ssize_t n = ::write(report[1], text, std::char_traits<char>::length(text) + 1);
        ::_exit(0);
    }
    ::close(report[1]);
    said->clear();
    bool done = false;
    wait([&] {
        char buffer[256];
        const ssize_t n = ::read(report[0], buffer, sizeof buffer);
        if (n > 0)
            said->append(buffer, static_cast<size_t>(n));
        done = n == 0 || (!said->empty() && said->back() == '\0');
        return done;
    });
    if (!said->empty() && said->back() == '\0')
        said->pop_back();
    ::waitpid(child, nullptr, 0);
    ::close(report[0]);
    *user = "uid 65534";
    return true;
}

} // namespace test_platform
