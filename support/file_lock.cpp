#include "support/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace support {

bool lock_file(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool file_locked(const char *path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    // flock locks belong to an open file: one this process holds through
    // another descriptor counts as held too.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

} // namespace support
