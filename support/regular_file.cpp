#include "support/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace support {

namespace {

const char *kind_of(mode_t mode) {
    if (S_ISREG(mode))
        return nullptr;
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

void say(std::string *why, const char *kind) {
    if (why)
        *why = std::string("it is ") + kind;
}

} // namespace

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

const char *non_regular_kind(const char *path) {
    struct stat info;
    if (!path || ::stat(path, &info) != 0)
        return nullptr;
    return kind_of(info.st_mode);
}

int open_regular_for_writing(const char *path, std::string *why) {
    if (const char *kind = non_regular_kind(path)) {
        say(why, kind);
        return -1;
    }
    // No O_TRUNC here: whatever the name has become since the check is
    // looked at before a byte of it changes.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (why)
            *why = errno == ENXIO ? std::string("it is a FIFO") : std::strerror(errno);
        return -1;
    }
    struct stat info;
    const bool known = ::fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        if (why)
            *why = known ? std::string("it is ") + kind_of(info.st_mode) : std::strerror(errno);
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (::ftruncate(fd, 0) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        if (why)
            *why = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool read_regular_file(const char *path, size_t limit, std::string *out, std::string *why) {
    if (const char *kind = non_regular_kind(path)) {
        say(why, kind);
        return false;
    }
    off_t size = 0;
    errno = 0;
    const int fd = open_regular_file(path, &size);
    if (fd < 0) {
        if (why)
            *why = errno != 0 ? std::strerror(errno) : "it is not a regular file";
        return false;
    }
    // The size is looked at again while reading: a file that grows under
    // the reader is cut off at the limit, not read for ever.
    out->clear();
    bool ok = static_cast<size_t>(size) <= limit;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (why)
                *why = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (out->size() + static_cast<size_t>(n) > limit) {
            ok = false;
            break;
        }
        out->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok) {
        out->clear();
        if (why)
            *why = "it is larger than " + std::to_string(limit) + " bytes";
    }
    return ok;
}

void ignore_broken_pipe() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

void close_file(int fd) {
    ::close(fd);
}

std::string path_from_wide(const wchar_t *path, bool *ok) {
    *ok = false;
    if (!path)
        return {};
    const size_t len = std::wcstombs(nullptr, path, 0);
    if (len == static_cast<size_t>(-1))
        return {};
    std::string name(len, '\0');
    std::wcstombs(name.data(), path, len + 1);
    *ok = true;
    return name;
}

int create_new_file(const char *path, int *err) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *err = fd < 0 ? errno : 0;
    return fd;
}

long read_file(int fd, void *buffer, size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

size_t write_file(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

std::FILE *file_stream(int fd, const char *mode) {
    std::FILE *file = ::fdopen(fd, mode);
    if (!file)
        ::close(fd);
    return file;
}

bool file_names_are_utf8() {
    return false;
}

void write_standard_streams_as_is() {}

} // namespace support
