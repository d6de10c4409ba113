// The USB HID transport on Linux: hidapi finds the adapter's hidraw nodes
// (path and serial number), the port reads and writes the node itself.
//
// hidapi's own I/O cannot serve here: its write blocks until the kernel's USB
// time-out (seconds) and it does not expose the descriptor to lock. So the
// node is opened non-blocking and locked; reads wait in poll().
//
// A hidraw write is synchronous in the kernel whatever the descriptor's
// flags: usbhid sends it as an interrupt transfer with a 5 s time-out that
// cannot be cancelled, and holds hidraw's table lock meanwhile. Which other
// calls wait for it depends on the kernel: before 5.17 that lock was one
// mutex, so every open(), ioctl and write of any hidraw node waited; 5.17
// made it a read-write lock, where a write holds up close() and a plug (they
// take it for writing) and whatever queues behind them; 6.4, and the stable
// kernels that fix went to, take it for writing in open() again. The write
// therefore runs on a writer thread and the caller waits for it at most
// its time-out. A write that outlives its caller is "stuck": later writes
// fail at once until it ends, the writer keeps the node open until then
// (closing could wait as well), its node is remembered process-wide so that
// reopening it answers "busy" at once instead of perhaps waiting in open(),
// and the request may still reach the adapter, so a reply that follows it
// is dropped before the next request.
//
// The report descriptor tells whether reports are numbered. Unnumbered
// reports reach us as the bare 64-byte payload, which is shifted behind a
// report ID byte of 0 so that the link sees the same 65-byte frame on every
// HID port; numbered ones carry their ID in byte 0 already.
#include "hid.h"

#include <hidapi.h>
#include <linux/hidraw.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace bridgeio {

namespace {

using Clock = std::chrono::steady_clock;

// A reply to an abandoned request follows its write within this time.
constexpr int kLateReplyMs = 100;

// The nodes with a stuck write. Never destroyed: a writer thread may end
// during static destruction.
struct StuckNodes {
    std::mutex mu;
    std::multiset<uint64_t> nodes;
};
StuckNodes &stuck_nodes() {
    static StuckNodes *s = new StuckNodes;
    return *s;
}

void mark_stuck(uint64_t node, bool stuck) {
    StuckNodes &s = stuck_nodes();
    std::lock_guard lk(s.mu);
    if (stuck)
        s.nodes.insert(node);
    else if (auto it = s.nodes.find(node); it != s.nodes.end())
        s.nodes.erase(it);
}

// Milliseconds until `deadline`, for poll(); -1 (no limit) when `forever`.
int left_ms(Clock::time_point deadline, bool forever) {
    if (forever)
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
}

// poll() until `deadline`, whatever signals arrive meanwhile.
int poll_until(pollfd &p, Clock::time_point deadline) {
    int r;
    while ((r = ::poll(&p, 1, left_ms(deadline, false))) < 0 && errno == EINTR) {
    }
    return r;
}

// What the writer thread and the port share. The descriptors close when the
// last of the two lets go, so a write stuck in the kernel never writes to a
// closed (or reused) descriptor.
struct Node {
    int fd = -1;
    int lock = -1; // fd itself, a duplicate that shares a held lock, or -1
    uint64_t key = 0;
    std::mutex mu;
    std::condition_variable cv;
    bool job = false, busy = false, quit = false;
    bool abandoned = false;   // the caller stopped waiting for the write
    bool late_reply = false;  // an abandoned write reached the adapter
    uint8_t frame[65] = {};
    size_t len = 0;
    Clock::time_point deadline;
    bool forever = false;
    int result = kPortOk;

    ~Node() {
        if (lock >= 0 && lock != fd)
            ::close(lock);
        if (fd >= 0)
            ::close(fd);
    }
};

int write_frame(int fd, const uint8_t *data, size_t len, Clock::time_point deadline,
                bool forever) {
    for (;;) {
        ssize_t n = ::write(fd, data, len);
        if (n == static_cast<ssize_t>(len))
            return kPortOk;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            const int ms = left_ms(deadline, forever);
            if (ms == 0)
                return kPortTimeout;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, ms);
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
        const int r = write_frame(node->fd, node->frame, node->len, node->deadline, node->forever);
        lk.lock();
        node->result = r;
        node->busy = false;
        if (node->abandoned) {
            node->abandoned = false;
            node->late_reply = r == kPortOk;
            mark_stuck(node->key, false);
        }
        node->cv.notify_all();
    }
}

class HidrawPort final : public Port {
  public:
    HidrawPort(std::shared_ptr<Node> node, uint64_t device, const ReportLayout &layout)
        : node_(std::move(node)), device_(device), layout_(layout),
          writer_(writer_loop, node_) {}

    ~HidrawPort() override {
        bool stuck;
        {
            std::lock_guard lk(node_->mu);
            node_->quit = true;
            stuck = node_->busy;
            // The thread keeps the node open until its write ends; the lock
            // goes now, so that the adapter is free for the next opener.
            // (A stuck node is never reopened by the link, so no other port
            // shares this lock.)
            if (stuck && node_->lock >= 0)
                ::flock(node_->lock, LOCK_UN);
        }
        node_->cv.notify_all();
        if (stuck)
            writer_.detach();
        else
            writer_.join();
    }

    Transport transport() const override { return Transport::Hid; }

    int write(const uint8_t *data, size_t len, int timeout_ms) override {
        if (len > sizeof node_->frame || len == 0)
            return kPortIoError;
        std::unique_lock lk(node_->mu);
        if (node_->busy)
            return kPortTimeout; // the previous write is still in the kernel
        std::memcpy(node_->frame, data, len);
        if (layout_.numbered)
            node_->frame[0] = layout_.output_id;
        node_->len = len;
        node_->forever = timeout_ms < 0;
        node_->deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        node_->busy = node_->job = true;
        node_->cv.notify_all();
        const auto done = [&] { return !node_->busy; };
        if (node_->forever)
            node_->cv.wait(lk, done);
        else if (!node_->cv.wait_until(lk, node_->deadline, done)) {
            node_->abandoned = true;
            mark_stuck(node_->key, true);
            return kPortTimeout;
        }
        return node_->result;
    }

    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override {
        *got = 0;
        if (len < 2)
            return kPortIoError;
        // One deadline for the whole read: a signal or a report of another
        // number does not start the wait again.
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            pollfd p{node_->fd, POLLIN, 0};
            const int r = ::poll(&p, 1, left_ms(deadline, timeout_ms < 0));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 || (p.revents & (POLLERR | POLLNVAL)))
                return kPortIoError;
            if (r == 0)
                return kPortTimeout;
            if (!(p.revents & POLLIN))
                return kPortIoError; // hung up: unplugged
            const ssize_t n = layout_.numbered ? ::read(node_->fd, data, len)
                                               : ::read(node_->fd, data + 1, len - 1);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return kPortIoError; // unplugged: ENODEV, EIO, or the end
            if (layout_.numbered) {
                if (data[0] != layout_.input_id)
                    continue; // another report of the device: not a reply
                *got = static_cast<size_t>(n);
            } else {
                data[0] = 0;
                *got = static_cast<size_t>(n) + 1;
            }
            return kPortOk;
        }
    }

    // Nothing stays pending in the kernel once a read has timed out.
    void cancel() override {}

    void discard_input() override {
        bool late;
        {
            std::lock_guard lk(node_->mu);
            late = node_->late_reply;
            node_->late_reply = false;
        }
        uint8_t scratch[65];
        // An abandoned request that went out after all may still be
        // answered: wait a little for that reply, so that it is not taken
        // for the next request's.
        pollfd p{node_->fd, POLLIN, 0};
        if (late && poll_until(p, Clock::now() + std::chrono::milliseconds(kLateReplyMs)) <= 0)
            return;
        for (;;) {
            p.revents = 0;
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
                return;
            if (::read(node_->fd, scratch, sizeof scratch) <= 0)
                return;
        }
    }

    // hidraw reports a hang-up on the descriptor once its device is gone.
    bool node_gone(int wait_ms) override {
        pollfd p{node_->fd, 0, 0};
        const int r = poll_until(p, Clock::now() + std::chrono::milliseconds(wait_ms));
        return r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

    uint64_t device_number() const override { return device_; }
    int lock_fd() const override { return node_->lock; }
    int poll_fd() const override { return node_->fd; }

  private:
    std::shared_ptr<Node> node_;
    uint64_t device_;
    ReportLayout layout_;
    std::thread writer_;
};

std::string narrow(const wchar_t *w) {
    std::string s;
    for (; w && *w; ++w)
        s += (*w > 0x20 && *w < 0x7F) ? static_cast<char>(*w) : '?';
    return s;
}

// The USB device a hidraw node belongs to: its sysfs directory, two levels
// above the HID device (.../3-1/3-1:1.0/0003:1209:5120.0005).
std::string usb_device_of(const char *node) {
    const char *name = std::strrchr(node, '/');
    const std::string link = std::string("/sys/class/hidraw/") + (name ? name + 1 : node) + "/device";
    char real[PATH_MAX];
    if (!::realpath(link.c_str(), real))
        return {};
    std::string path = real;
    for (int up = 0; up < 2; ++up) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return {};
        path.erase(slash);
    }
    return path;
}

// 0, ENOTTY (not a hidraw node) or EPROTO (reports the link cannot frame).
int read_layout(int fd, ReportLayout *layout) {
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size <= 0)
        return ENOTTY;
    auto descriptor = std::make_unique<hidraw_report_descriptor>();
    descriptor->size = static_cast<uint32_t>(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
    if (::ioctl(fd, HIDIOCGRDESC, descriptor.get()) != 0)
        return ENOTTY;
    return parse_report_layout(descriptor->value, descriptor->size, layout) ? 0 : EPROTO;
}

} // namespace

std::vector<HidAdapter> select_hid_adapters(const std::vector<HidInterface> &found,
                                            uint16_t vendor_id, uint16_t product_id) {
    // Per USB device, the index in `found` of its lowest interface.
    std::map<std::string, size_t> first;
    std::vector<size_t> order;
    for (size_t i = 0; i < found.size(); ++i) {
        const HidInterface &f = found[i];
        if (f.vendor_id != vendor_id || f.product_id != product_id || f.path.empty())
            continue;
        const std::string device = !f.device.empty()   ? "d:" + f.device
                                   : !f.serial.empty() ? "s:" + f.serial
                                                       : "p:" + f.path;
        auto [at, inserted] = first.emplace(device, i);
        if (inserted)
            order.push_back(i);
        else if (f.interface_number < found[at->second].interface_number) {
            std::replace(order.begin(), order.end(), at->second, i);
            at->second = i;
        }
    }
    std::vector<HidAdapter> adapters;
    for (size_t i : order)
        adapters.push_back({found[i].path, found[i].serial});
    return adapters;
}

bool parse_report_layout(const uint8_t *d, size_t n, ReportLayout *layout) {
    uint32_t size_bits = 0, count = 0;
    uint32_t id = 0;
    bool numbered = false;
    std::map<uint32_t, uint64_t> in_bits, out_bits;
    for (size_t i = 0; i < n;) {
        const uint8_t prefix = d[i];
        if (prefix == 0xFE) { // long item: size, tag, data
            if (i + 2 >= n)
                return false;
            i += 3 + size_t{d[i + 1]};
            continue;
        }
        const size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + len > n)
            return false;
        uint32_t value = 0;
        for (size_t k = 0; k < len; ++k)
            value |= uint32_t{d[i + 1 + k]} << (8 * k);
        const int type = (prefix >> 2) & 3, tag = prefix >> 4;
        if (type == 1 && tag == 7)
            size_bits = value;
        else if (type == 1 && tag == 9)
            count = value;
        else if (type == 1 && tag == 8) {
            if (value == 0 || value > 0xFF)
                return false;
            id = value;
            numbered = true;
        } else if (type == 0 && (tag == 8 || tag == 9))
            (tag == 8 ? in_bits : out_bits)[id] += uint64_t{size_bits} * count;
        i += 1 + len;
    }
    *layout = ReportLayout{};
    if (!numbered)
        return true;
    // The adapter's request and reply: the 64-byte output and input reports.
    const auto find = [](const std::map<uint32_t, uint64_t> &bits, uint8_t *out) {
        for (const auto &[report, total] : bits)
            if (report != 0 && total == 64 * 8) {
                *out = static_cast<uint8_t>(report);
                return true;
            }
        return false;
    };
    layout->numbered = true;
    return find(in_bits, &layout->input_id) && find(out_bits, &layout->output_id);
}

std::unique_ptr<Port> make_hidraw_port(int fd, int lock, uint64_t node_key,
                                       const ReportLayout &layout, int *error) {
    auto node = std::make_shared<Node>();
    node->fd = fd;
    node->lock = lock;
    node->key = node_key;
    struct stat st;
    const uint64_t device = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_rdev) : 0;
    try {
        return std::make_unique<HidrawPort>(std::move(node), device, layout);
    } catch (const std::system_error &) {
        *error = EAGAIN; // no thread for the writer
        return nullptr;
    }
}

bool hid_write_stuck(uint64_t node) {
    StuckNodes &s = stuck_nodes();
    std::lock_guard lk(s.mu);
    return s.nodes.count(node) != 0;
}

std::vector<HidInterface> describe_hid_devices(const hid_device_info *list) {
    std::vector<HidInterface> found;
    for (const hid_device_info *d = list; d; d = d->next)
        if (d->path)
            found.push_back({d->path, narrow(d->serial_number), usb_device_of(d->path),
                             d->vendor_id, d->product_id, d->interface_number});
    return found;
}

std::vector<HidAdapter> list_hid_adapters(uint16_t vendor_id, uint16_t product_id) {
    if (hid_init() != 0)
        return {};
    hid_device_info *list = hid_enumerate(vendor_id, product_id);
    const std::vector<HidInterface> found = describe_hid_devices(list);
    hid_free_enumeration(list);
    return select_hid_adapters(found, vendor_id, product_id);
}

std::unique_ptr<Port> open_hid_adapter(const HidAdapter &adapter, const Port *current,
                                       int *error) {
    // A node whose write is stuck would hold open() for seconds.
    struct stat st;
    if (::stat(adapter.path.c_str(), &st) == 0 && hid_write_stuck(st.st_rdev)) {
        *error = kStuckWriteError;
        return nullptr;
    }
    const int fd = ::open(adapter.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    // A node named by the user may be any HID device (a keyboard, a UPS, a
    // security key): it gets no report unless it has the adapter's USB ID.
    if (adapter.vendor_id || adapter.product_id) {
        hidraw_devinfo info{};
        if (::ioctl(fd, HIDIOCGRAWINFO, &info) != 0) {
            *error = ENOTTY;
            ::close(fd);
            return nullptr;
        }
        const UsbId found{static_cast<uint16_t>(info.vendor), static_cast<uint16_t>(info.product)};
        if (found.vendor_id != adapter.vendor_id || found.product_id != adapter.product_id) {
            refused_node_id = found;
            *error = kNotTheAdapterError;
            ::close(fd);
            return nullptr;
        }
    }
    ReportLayout layout;
    if (const int e = read_layout(fd, &layout)) {
        *error = e;
        ::close(fd);
        return nullptr;
    }
    uint64_t device = 0;
    const int lock = take_node_lock(fd, current, &device);
    if (lock < 0) {
        *error = errno;
        ::close(fd);
        return nullptr;
    }
    return make_hidraw_port(fd, lock, device, layout, error);
}

} // namespace bridgeio
