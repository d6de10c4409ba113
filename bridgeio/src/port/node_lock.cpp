// The advisory lock that gives one program at a time the adapter's device
// node. hidraw and tty nodes can be opened by several programs at once, and
// each would then receive the other's replies.
#include "port.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bridgeio {

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

} // namespace bridgeio
