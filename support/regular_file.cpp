#include "support/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace support {

int open_regular_file(const char *path, off_t *size) {
    struct stat info;
    if (!path || ::stat(path, &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    if (size)
        *size = info.st_size;
    return fd;
}

} // namespace support
