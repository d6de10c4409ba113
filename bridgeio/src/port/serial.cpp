// The serial transport over termios: a Bluetooth serial link (or any tty)
// at 115200 baud with RTS/CTS handshake. All waits use poll(), so both the
// write and the read bound honour their time-outs. A write counts as done
// only once the kernel has sent it: with CTS held low, or an rfcomm link that
// is not connected, the bytes would otherwise wait in the output queue while
// the link sends the request again behind them.
#include "serial.h"
#include "port.h"

#include "support/regular_file.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace bridgeio {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` on `fd` until `deadline` (none when `forever`).
// 1 ready, 0 time-out, -1 error.
int wait_fd(int fd, short events, Clock::time_point deadline, bool forever) {
    for (;;) {
        int ms = -1;
        if (!forever) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (p.revents & (POLLERR | POLLNVAL)))
            return -1;
        // A hang-up counts as ready: the read or write that follows reports it.
        return n > 0 ? 1 : 0;
    }
}

// Waits until the output queue of `fd` is empty or `deadline` has passed.
bool wait_sent(int fd, Clock::time_point deadline, bool forever) {
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            return true;
        if (!forever && Clock::now() >= deadline)
            return false;
        ::usleep(1000); // 115200 baud moves about 11 bytes a millisecond
    }
}

// What a terminal was like before the link changed it, kept per node while
// any of our ports has it open. The link reopens the node it holds by
// opening the new port before closing the old one, so only the first opener
// saves and only the last one to close restores: the new port would
// otherwise "save" the link's own settings, or the old one restore the
// user's under the new port.
struct SavedTerminal {
    termios settings{};
    bool have_settings = false;
    bool was_exclusive = false; // TIOCEXCL was on before we came
    int users = 0;
};
std::mutex saved_mu;
std::map<uint64_t, SavedTerminal> &saved_terminals() {
    static auto *m = new std::map<uint64_t, SavedTerminal>; // never destroyed, like the link
    return *m;
}

void remember_terminal(int fd, uint64_t device) {
    std::lock_guard lk(saved_mu);
    SavedTerminal &t = saved_terminals()[device];
    if (t.users++ > 0)
        return;
    t.have_settings = tcgetattr(fd, &t.settings) == 0;
    int excl = 0;
    t.was_exclusive = ::ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
}

// Puts the terminal back as it was when the last of our ports on it closes.
// TCSANOW: a queue held up by CTS must not hold up the close.
void restore_terminal(int fd, uint64_t device) {
    std::lock_guard lk(saved_mu);
    auto it = saved_terminals().find(device);
    if (it == saved_terminals().end() || --it->second.users > 0)
        return;
    if (it->second.have_settings)
        tcsetattr(fd, TCSANOW, &it->second.settings);
    if (!it->second.was_exclusive)
        ::ioctl(fd, TIOCNXCL);
    saved_terminals().erase(it);
}

// True when we made the node exclusive (so reopening it needs that lifted).
bool we_made_exclusive(uint64_t device) {
    std::lock_guard lk(saved_mu);
    auto it = saved_terminals().find(device);
    return it != saved_terminals().end() && !it->second.was_exclusive;
}

class SerialPort final : public Port {
  public:
    SerialPort(int fd, int lock, uint64_t device, int connect_budget_ms)
        : fd_(fd), lock_(lock), device_(device) {
        if (connect_budget_ms > 0) {
            connecting_ = true;
            connect_deadline_ = Clock::now() + std::chrono::milliseconds(connect_budget_ms);
        }
    }
    ~SerialPort() override {
        restore_terminal(fd_, device_);
        if (lock_ != fd_)
            ::close(lock_);
        ::close(fd_);
    }

    Transport transport() const override { return Transport::Serial; }

    int write(const uint8_t *data, size_t len, int timeout_ms) override {
        const auto deadline = budget(timeout_ms);
        const int r = write_until(data, len, deadline, timeout_ms < 0);
        if (r != kPortOk)
            connecting_ = false;
        return r;
    }

    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override {
        const auto deadline = timeout_ms == 0 ? Clock::now() : budget(timeout_ms);
        const int r = read_until(data, len, deadline, timeout_ms, got);
        if (timeout_ms != 0)
            connecting_ = false; // the first exchange has had its reply, or its time
        return r;
    }

    // Drops what the timed-out transfer left behind: unsent request bytes
    // after a write, the remains of a late reply after a read.
    void cancel() override { ::tcflush(fd_, last_timeout_on_write_ ? TCOFLUSH : TCIFLUSH); }

    void discard_input() override { ::tcflush(fd_, TCIFLUSH); }

    uint64_t device_number() const override { return device_; }
    int lock_fd() const override { return lock_; }
    int poll_fd() const override { return fd_; }

  private:
    // The deadline of a wait of `timeout_ms`. While the first exchange after
    // an rfcomm open is under way, its Bluetooth link may still be paging the
    // board: nothing counts as late before the connect budget has run out.
    Clock::time_point budget(int timeout_ms) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        return connecting_ && connect_deadline_ > deadline ? connect_deadline_ : deadline;
    }

    int write_until(const uint8_t *data, size_t len, Clock::time_point deadline, bool forever) {
        size_t off = 0;
        while (off < len) {
            ssize_t n = ::write(fd_, data + off, len - off);
            if (n > 0) {
                off += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno != EAGAIN)
                return kPortIoError;
            int w = wait_fd(fd_, POLLOUT, deadline, forever);
            if (w == 0) {
                last_timeout_on_write_ = true;
                return kPortTimeout;
            }
            if (w < 0)
                return kPortIoError;
        }
        if (!wait_sent(fd_, deadline, forever)) {
            last_timeout_on_write_ = true;
            return kPortTimeout;
        }
        return kPortOk;
    }

    int read_until(uint8_t *data, size_t len, Clock::time_point deadline, int timeout_ms,
                   size_t *got) {
        size_t off = 0;
        *got = 0;
        while (off < len) {
            ssize_t n = ::read(fd_, data + off, len - off);
            if (n > 0) {
                off += static_cast<size_t>(n);
                *got = off;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // A non-blocking tty reports "nothing yet" as EAGAIN; 0 means
            // the line was hung up.
            if (n == 0 || errno != EAGAIN)
                return kPortIoError;
            int w = timeout_ms == 0 ? 0 : wait_fd(fd_, POLLIN, deadline, timeout_ms < 0);
            if (w == 0) {
                last_timeout_on_write_ = false;
                return kPortTimeout;
            }
            if (w < 0)
                return kPortIoError;
        }
        return kPortOk;
    }

    int fd_;
    int lock_;
    uint64_t device_;
    bool last_timeout_on_write_ = false;
    bool connecting_ = false;
    Clock::time_point connect_deadline_;
};

// Raw binary line at 115200 baud, 8 data bits, no parity, one stop bit,
// RTS/CTS. (A port that another tool left at 7E1 would otherwise mangle
// every binary report.)
void make_link_settings(termios &tio) {
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_iflag &=
        ~(INPCK | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSTOPB | CSIZE | PARENB | PARODD | CMSPAR);
    tio.c_cflag |= CS8 | CRTSCTS | CLOCAL | CREAD;
}

// tcsetattr succeeds when any of the changes could be made: read the
// settings back and compare what the link relies on.
bool link_settings_hold(int fd) {
    termios now{};
    if (tcgetattr(fd, &now) != 0)
        return false;
    const tcflag_t framing = CSIZE | PARENB | CSTOPB | CRTSCTS;
    return cfgetospeed(&now) == B115200 && cfgetispeed(&now) == B115200 &&
           (now.c_cflag & framing) == (CS8 | CRTSCTS);
}

// The kernel's rfcomm device query (RFCOMMGETDEVINFO on a Bluetooth
// socket), declared here so that the library builds without the Bluetooth
// headers.
constexpr int kAfBluetooth = 31;
constexpr int kBtprotoRfcomm = 3;
constexpr uint16_t kBtConnected = 1;
struct RfcommDevInfo {
    int16_t id;
    uint32_t flags;
    uint16_t state; // of the link's channel
    uint8_t src[6];
    uint8_t dst[6];
    uint8_t channel;
};
constexpr unsigned long kRfcommGetDevInfo = _IOR('R', 211, int);

// Whether the Bluetooth channel behind the rfcomm tty on `fd` is up: 1, 0,
// or -1 when the kernel cannot tell us (no Bluetooth socket for us).
// TIOCM_CD is no answer: the tty keeps the board's carrier from the first
// connection on, also while a later open is still paging the board.
int rfcomm_channel_up(int fd, int bt_socket) {
    struct stat st;
    if (bt_socket < 0 || ::fstat(fd, &st) != 0)
        return -1;
    RfcommDevInfo info{};
    info.id = static_cast<int16_t>(minor(st.st_rdev)); // rfcommN has minor N
    if (::ioctl(bt_socket, kRfcommGetDevInfo, &info) != 0)
        return -1;
    return info.state == kBtConnected ? 1 : 0;
}

bool is_rfcomm(const std::string &path) {
    const size_t slash = path.rfind('/');
    return path.compare(slash == std::string::npos ? 0 : slash + 1, 6, "rfcomm") == 0;
}

// Waits for the Bluetooth link of a just opened rfcomm node. A node bound
// with `rfcomm bind` starts paging the board only when it is opened, which
// takes seconds (longer when the board is off). Where the kernel cannot tell
// the channel's state, the carrier is the best there is.
void wait_for_rfcomm(int fd) {
    const int sock = ::socket(kAfBluetooth, SOCK_RAW | SOCK_CLOEXEC, kBtprotoRfcomm);
    wait_for_link(
        [&] {
            const int up = rfcomm_channel_up(fd, sock);
            if (up >= 0)
                return up;
            int lines = 0;
            return ::ioctl(fd, TIOCMGET, &lines) != 0 ? -1 : (lines & TIOCM_CD) ? 1 : 0;
        },
        kRfcommConnectMs);
    if (sock >= 0)
        ::close(sock);
}

} // namespace

bool wait_for_link(const std::function<int()> &link_up, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int up = link_up();
        if (up != 0)
            return up > 0;
        if (Clock::now() >= deadline)
            return false;
        ::usleep(20'000);
    }
}

std::unique_ptr<Port> open_serial_port(const char *path, const Port *current,
                                       SerialOpenReport *report) {
    SerialOpenReport scratch;
    if (!report)
        report = &scratch;
    if (!path) {
        report->open_error = ENOENT;
        return nullptr;
    }
    // Only a terminal carries the serial link: a regular file or /dev/null
    // would "open" and take the requests as data.
    const NodeInfo node = classify_node(path);
    if (node.kind == NodeKind::Other || node.kind == NodeKind::Hidraw) {
        report->open_error = ENOTTY;
        return nullptr;
    }
    // Another serial tool's lock file names a live process: the port is its.
    if (node.kind == NodeKind::Terminal && held_by_lock_file(node.path.c_str(), kLockDirs)) {
        report->open_error = EWOULDBLOCK;
        return nullptr;
    }
    // The node the link holds is exclusive (TIOCEXCL), which refuses our
    // own reopening as it refuses everybody but root: lift it for the open.
    struct stat st;
    const bool reopening = current && current->transport() == Transport::Serial &&
                           current->poll_fd() >= 0 && ::stat(path, &st) == 0 &&
                           static_cast<uint64_t>(st.st_rdev) == current->device_number() &&
                           we_made_exclusive(current->device_number());
    if (reopening)
        ::ioctl(current->poll_fd(), TIOCNXCL);
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int open_errno = errno;
    if (reopening)
        ::ioctl(current->poll_fd(), TIOCEXCL);
    if (fd < 0) {
        report->open_error = open_errno;
        return nullptr;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        report->open_error = ENOTTY;
        return nullptr;
    }
    // The link owns the port alone; a second opener would steal replies.
    // The lock tells other programs so; TIOCEXCL also stops those that do
    // not lock (except the superuser's).
    uint64_t device = 0;
    const int lock = take_node_lock(fd, current, &device);
    if (lock < 0) {
        report->open_error = errno;
        ::close(fd);
        return nullptr;
    }
    remember_terminal(fd, device);
    ::ioctl(fd, TIOCEXCL);

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        report->get_settings_failed = true;
        report->set_settings_failed = true; // nothing sound to apply
    } else {
        make_link_settings(tio);
        if (tcsetattr(fd, TCSANOW, &tio) != 0 || !link_settings_hold(fd))
            report->set_settings_failed = true;
    }

    // Waits happen in poll(). With VMIN 1 and no inter-byte timer a
    // non-blocking read reports "nothing yet" as EAGAIN and keeps a return
    // of 0 for a hung-up line (VMIN 0 would return 0 for both).
    termios timing{};
    if (tcgetattr(fd, &timing) != 0) {
        report->set_timeouts_failed = true;
    } else {
        timing.c_cc[VMIN] = 1;
        timing.c_cc[VTIME] = 0;
        if (tcsetattr(fd, TCSANOW, &timing) != 0)
            report->set_timeouts_failed = true;
    }
    const bool rfcomm = is_rfcomm(node.path);
    if (rfcomm)
        wait_for_rfcomm(fd);
    return make_serial_port(fd, lock, device, rfcomm ? kRfcommConnectMs : 0);
}

std::unique_ptr<Port> make_serial_port(int fd, int lock, uint64_t device, int connect_budget_ms) {
    return std::make_unique<SerialPort>(fd, lock, device, connect_budget_ms);
}

bool held_by_lock_file(const char *device_path, const std::vector<std::string> &dirs) {
    const char *slash = std::strrchr(device_path, '/');
    const std::string name = std::string("LCK..") + (slash ? slash + 1 : device_path);
    for (const std::string &dir : dirs) {
        const std::string file = dir + "/" + name;
        const int fd = support::open_regular_file(file.c_str());
        if (fd < 0)
            continue;
        // The owner's process ID: ten characters of ASCII (the usual form),
        // or a binary int written by older tools.
        char text[32] = {};
        const ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        long pid = 0;
        // Four bytes that are not all text of a number are the binary form:
        // its first byte may well be a digit's code (PID 0x1031 is "1\x10").
        bool is_text = n > 0;
        for (ssize_t i = 0; i < n && is_text; ++i)
            is_text = std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == ' ' || text[i] == '\n';
        if (n == static_cast<ssize_t>(sizeof(int)) && !is_text) {
            int binary = 0;
            std::memcpy(&binary, text, sizeof binary);
            pid = binary;
        } else if (n > 0)
            pid = std::strtol(text, nullptr, 10);
        // A stale file (its process gone) does not count, nor our own.
        if (pid > 0 && pid != ::getpid() && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM))
            return true;
    }
    return false;
}

bool scan_rfcomm_ports(const char *dir, char *path, size_t size, std::FILE *out) {
    bool found = false;
    for (int i = 0; i < kRfcommPorts; ++i) {
        char node[16];
        std::snprintf(node, sizeof node, "rfcomm%d", i);
        char candidate[1024];
        int n = std::snprintf(candidate, sizeof candidate, "%s/%s", dir, node);
        if (n < 0 || static_cast<size_t>(n) >= sizeof candidate)
            break;
        struct stat st;
        if (::stat(candidate, &st) != 0)
            break;
        std::fprintf(out, "Found %s %s\n", node, candidate);
        std::snprintf(path, size, "%s", candidate);
        found = true;
    }
    return found;
}

} // namespace bridgeio
