// The advisory lock that gives one program at a time the adapter's device
// node, and what a device path names. hidraw and tty nodes can be opened by
// several programs at once, and each would then receive the other's replies.
#include "port.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace bridgeio {

namespace {

// How long after a node appears its permissions may still be changing.
constexpr long kUdevGraceNs = 3'000'000'000L;

// The kernel subsystem of a character device ("hidraw", "tty", "mem", ...),
// from sysfs; empty when sysfs does not list it.
std::string char_subsystem(dev_t rdev) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(rdev), minor(rdev));
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    const char *slash = std::strrchr(target, '/');
    return slash ? slash + 1 : target;
}

const char *describe_type(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISBLK(mode))
        return "a block device";
    return "a device that is not an adapter";
}

} // namespace

int take_node_lock(int fd, const Port *current, uint64_t *device_number) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return -1;
    *device_number = static_cast<uint64_t>(st.st_rdev);
    // A flock belongs to an open file description, so the link reopening the
    // node it holds would lock itself out: share the held lock instead.
    if (current && current->lock_fd() >= 0 && current->device_number() == *device_number)
        return ::fcntl(current->lock_fd(), F_DUPFD_CLOEXEC, 0);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EINTR)
            return -1;
    }
}

NodeInfo classify_node(const char *path) {
    NodeInfo info;
    info.path = path ? path : "";
    struct stat st;
    if (!path || ::stat(path, &st) != 0)
        return info;
    char real[PATH_MAX];
    if (::realpath(path, real))
        info.path = real;
    if (!S_ISCHR(st.st_mode)) {
        info.kind = NodeKind::Other;
        info.what = describe_type(st.st_mode);
        return info;
    }
    const std::string subsystem = char_subsystem(st.st_rdev);
    const char *base = std::strrchr(info.path.c_str(), '/');
    const bool named_hidraw = base && std::strncmp(base + 1, "hidraw", 6) == 0;
    if (subsystem == "hidraw" || (subsystem.empty() && named_hidraw))
        info.kind = NodeKind::Hidraw;
    else if (subsystem == "tty" || subsystem.empty())
        info.kind = NodeKind::Terminal;
    else {
        info.kind = NodeKind::Other;
        info.what = "a " + subsystem + " device";
    }
    return info;
}

bool node_just_changed(const char *path) {
    struct stat st;
    timespec now{};
    if (::stat(path, &st) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0)
        return false;
    const long long age = (now.tv_sec - st.st_ctim.tv_sec) * 1'000'000'000LL +
                          (now.tv_nsec - st.st_ctim.tv_nsec);
    return age >= 0 && age < kUdevGraceNs;
}

} // namespace bridgeio
