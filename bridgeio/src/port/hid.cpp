// The USB HID transport on Linux: hidapi finds the adapter's hidraw nodes
// (path and serial number), the port reads and writes the node itself.
//
// hidapi's own I/O cannot serve here: its write blocks until the kernel's USB
// time-out (seconds) and it does not expose the descriptor to lock. So the
// node is opened non-blocking and locked; reads wait in poll(). A hidraw
// write is synchronous in the kernel whatever the descriptor's flags, so it
// runs on a writer thread and the caller waits for it at most its time-out;
// a write still stuck in the kernel makes later writes fail at once until it
// ends. The adapter's reports carry no report ID, so hidraw delivers the
// bare 64-byte payload; it is shifted behind a report ID byte of 0 so that
// the link sees the same 65-byte frame on every HID port.
#include "port.h"

#include <hidapi.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace bridgeio {

namespace {

// What the writer thread and the port share. The descriptors close when the
// last of the two lets go, so a write stuck in the kernel never writes to a
// closed (or reused) descriptor.
struct Node {
    int fd = -1;
    int lock = -1; // fd itself, or a duplicate that shares a held lock
    std::mutex mu;
    std::condition_variable cv;
    bool job = false, busy = false, quit = false;
    uint8_t frame[65] = {};
    size_t len = 0;
    int result = kPortOk;

    ~Node() {
        if (lock >= 0 && lock != fd)
            ::close(lock);
        if (fd >= 0)
            ::close(fd);
    }
};

int write_frame(int fd, const uint8_t *data, size_t len) {
    for (;;) {
        ssize_t n = ::write(fd, data, len);
        if (n == static_cast<ssize_t>(len))
            return kPortOk;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10); // the caller's deadline bounds the whole write
            continue;
        }
        return kPortIoError;
    }
}

void writer_loop(std::shared_ptr<Node> node) {
    std::unique_lock lk(node->mu);
    for (;;) {
        node->cv.wait(lk, [&] { return node->job || node->quit; });
        if (!node->job)
            return;
        node->job = false;
        lk.unlock();
        const int r = write_frame(node->fd, node->frame, node->len);
        lk.lock();
        node->result = r;
        node->busy = false;
        node->cv.notify_all();
    }
}

class HidrawPort final : public Port {
  public:
    HidrawPort(std::shared_ptr<Node> node, uint64_t device)
        : node_(std::move(node)), device_(device), writer_(writer_loop, node_) {}

    ~HidrawPort() override {
        bool stuck;
        {
            std::lock_guard lk(node_->mu);
            node_->quit = true;
            stuck = node_->busy;
        }
        node_->cv.notify_all();
        // A write stuck in the kernel ends on its own; the thread keeps the
        // node open until then. Otherwise the node closes here, at once.
        if (stuck)
            writer_.detach();
        else
            writer_.join();
    }

    Transport transport() const override { return Transport::Hid; }

    int write(const uint8_t *data, size_t len, int timeout_ms) override {
        if (len > sizeof node_->frame)
            return kPortIoError;
        std::unique_lock lk(node_->mu);
        if (node_->busy)
            return kPortTimeout; // the previous write is still in the kernel
        std::memcpy(node_->frame, data, len);
        node_->len = len;
        node_->busy = node_->job = true;
        node_->cv.notify_all();
        const auto done = [&] { return !node_->busy; };
        if (timeout_ms < 0)
            node_->cv.wait(lk, done);
        else if (!node_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), done))
            return kPortTimeout;
        return node_->result;
    }

    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override {
        *got = 0;
        if (len < 2)
            return kPortIoError;
        for (;;) {
            ssize_t n = ::read(node_->fd, data + 1, len - 1);
            if (n > 0) {
                data[0] = 0;
                *got = static_cast<size_t>(n) + 1;
                return kPortOk;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno != EAGAIN)
                return kPortIoError; // unplugged: ENODEV or EIO
            if (timeout_ms == 0)
                return kPortTimeout;
            pollfd p{node_->fd, POLLIN, 0};
            int r = ::poll(&p, 1, timeout_ms);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 || (p.revents & (POLLERR | POLLNVAL)))
                return kPortIoError;
            if (r == 0)
                return kPortTimeout;
            if ((p.revents & POLLHUP) && !(p.revents & POLLIN))
                return kPortIoError;
            timeout_ms = 0; // a report is there: the next read takes it
        }
    }

    // Nothing stays pending in the kernel once a read has timed out.
    void cancel() override {}

    void discard_input() override {
        uint8_t scratch[65];
        while (::read(node_->fd, scratch, sizeof scratch) > 0) {
        }
    }

    uint64_t device_number() const override { return device_; }
    int lock_fd() const override { return node_->lock; }
    int poll_fd() const override { return node_->fd; }

  private:
    std::shared_ptr<Node> node_;
    uint64_t device_;
    std::thread writer_;
};

std::string narrow(const wchar_t *w) {
    std::string s;
    for (; w && *w; ++w)
        s += (*w > 0x20 && *w < 0x7F) ? static_cast<char>(*w) : '?';
    return s;
}

} // namespace

std::vector<HidAdapter> list_hid_adapters(uint16_t vendor_id, uint16_t product_id) {
    std::vector<HidAdapter> found;
    if (hid_init() != 0)
        return found;
    hid_device_info *list = hid_enumerate(vendor_id, product_id);
    for (hid_device_info *d = list; d; d = d->next) {
        if (d->vendor_id == vendor_id && d->product_id == product_id && d->path)
            found.push_back({d->path, narrow(d->serial_number)});
    }
    hid_free_enumeration(list);
    return found;
}

std::unique_ptr<Port> open_hid_adapter(const HidAdapter &adapter, const Port *current,
                                       int *error) {
    auto node = std::make_shared<Node>();
    node->fd = ::open(adapter.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node->fd < 0) {
        *error = errno;
        return nullptr;
    }
    uint64_t device = 0;
    node->lock = take_node_lock(node->fd, current, &device);
    if (node->lock < 0) {
        *error = errno;
        return nullptr;
    }
    try {
        return std::make_unique<HidrawPort>(std::move(node), device);
    } catch (const std::system_error &) {
        *error = EAGAIN; // no thread for the writer
        return nullptr;
    }
}

} // namespace bridgeio
