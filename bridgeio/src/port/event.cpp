#include "event.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace bridgeio {

ReadyEvent::~ReadyEvent() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool ReadyEvent::open() {
    if (fd_ < 0)
        fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd_ >= 0;
}

void ReadyEvent::set() {
    uint64_t one = 1;
    if (fd_ >= 0)
        (void)!::write(fd_, &one, sizeof one);
}

void ReadyEvent::reset() {
    uint64_t count;
    if (fd_ >= 0)
        (void)!::read(fd_, &count, sizeof count);
}

void *ReadyEvent::waitable() const {
    return const_cast<int *>(&fd_);
}

} // namespace bridgeio
