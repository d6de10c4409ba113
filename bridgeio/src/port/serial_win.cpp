// The serial transport on Windows: a COM port (a Bluetooth serial port, or
// any other) at 115200 baud, 8N1, with RTS/CTS handshake, overlapped I/O.
// The port's own time-outs only make a read return as soon as bytes are
// there; the deadlines are the overlapped waits, and a transfer that missed
// its deadline is cancelled (CancelIoEx) and waited for. As on Linux a write
// counts as done only once the port has sent it (its output queue is empty),
// and the settings the port had before are restored when the link closes it.
#include "serial.h"
#include "port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace bridgeio {

namespace {

using Clock = std::chrono::steady_clock;

// The longest a single read waits for its first byte; the deadline is the
// caller's, this only bounds one ReadFile.
constexpr DWORD kReadSliceMs = 1000;

// The open port and what it had before: shared by the link's port and a
// port that reopens the same COM port (Windows opens a COM port once), and
// restored when the last of them goes.
struct ComPort {
    HANDLE h = INVALID_HANDLE_VALUE;
    std::string name; // lower case, without "\\.\"
    bool saved_state = false, saved_timeouts = false;
    DCB state{};
    COMMTIMEOUTS timeouts{};
    ~ComPort() {
        if (saved_state)
            ::SetCommState(h, &state);
        if (saved_timeouts)
            ::SetCommTimeouts(h, &timeouts);
        ::CloseHandle(h);
    }
};

DWORD left_ms(Clock::time_point deadline, bool forever) {
    if (forever)
        return INFINITE;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(std::min<long long>(left, INFINITE - 1)) : 0;
}

class Overlapped {
  public:
    Overlapped() { ov_.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (ov_.hEvent)
            ::CloseHandle(ov_.hEvent);
    }
    bool ok() const { return ov_.hEvent != nullptr; }
    OVERLAPPED *arm() {
        const HANDLE e = ov_.hEvent;
        ov_ = OVERLAPPED{};
        ov_.hEvent = e;
        ::ResetEvent(e);
        return &ov_;
    }

    // Finishes the transfer started with arm(): waits at most `ms`, cancels
    // it when that ran out. Bytes moved in *n; 1 done, 0 timed out, -1 error.
    int finish(HANDLE h, BOOL started, DWORD ms, DWORD *n) {
        *n = 0;
        if (!started && ::GetLastError() != ERROR_IO_PENDING)
            return -1;
        if (::WaitForSingleObject(ov_.hEvent, ms) != WAIT_OBJECT_0) {
            ::CancelIoEx(h, &ov_);
            if (::GetOverlappedResult(h, &ov_, n, TRUE))
                return 1; // ended just now: what it moved counts
            return ::GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
        }
        return ::GetOverlappedResult(h, &ov_, n, FALSE) ? 1 : -1;
    }

  private:
    OVERLAPPED ov_{};
};

class WinSerialPort final : public Port {
  public:
    explicit WinSerialPort(std::shared_ptr<ComPort> com) : com_(std::move(com)) {}

    Transport transport() const override { return Transport::Serial; }

    int write(const uint8_t *data, size_t len, int timeout_ms) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        const bool forever = timeout_ms < 0;
        size_t off = 0;
        while (off < len) {
            DWORD n = 0;
            const BOOL started = ::WriteFile(com_->h, data + off, static_cast<DWORD>(len - off),
                                             nullptr, wr_.arm());
            const int r = wr_.finish(com_->h, started, left_ms(deadline, forever), &n);
            off += n;
            if (r < 0)
                return kPortIoError;
            if (r == 0 || (n == 0 && !forever && Clock::now() >= deadline)) {
                last_timeout_on_write_ = true;
                return kPortTimeout;
            }
        }
        // Sent means on the line, not in the driver's queue (CTS may hold it).
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!::ClearCommError(com_->h, &errors, &status) || status.cbOutQue == 0)
                return kPortOk;
            if (!forever && Clock::now() >= deadline) {
                last_timeout_on_write_ = true;
                return kPortTimeout;
            }
            ::Sleep(1);
        }
    }

    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        const bool forever = timeout_ms < 0;
        size_t off = 0;
        *got = 0;
        while (off < len) {
            DWORD n = 0;
            const BOOL started = ::ReadFile(com_->h, data + off, static_cast<DWORD>(len - off),
                                            nullptr, rd_.arm());
            const int r = rd_.finish(com_->h, started, left_ms(deadline, forever), &n);
            off += n;
            *got = off;
            if (r < 0)
                return kPortIoError;
            if (off < len && (r == 0 || (!forever && Clock::now() >= deadline))) {
                last_timeout_on_write_ = false;
                return kPortTimeout;
            }
        }
        return kPortOk;
    }

    // Drops what the timed-out transfer left behind: unsent request bytes
    // after a write, the remains of a late reply after a read.
    void cancel() override {
        ::PurgeComm(com_->h, last_timeout_on_write_ ? PURGE_TXABORT | PURGE_TXCLEAR
                                                    : PURGE_RXABORT | PURGE_RXCLEAR);
    }

    void discard_input() override { ::PurgeComm(com_->h, PURGE_RXCLEAR); }

    const std::shared_ptr<ComPort> &com() const { return com_; }

  private:
    std::shared_ptr<ComPort> com_;
    Overlapped wr_, rd_;
    bool last_timeout_on_write_ = false;
};

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

int errno_of(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED: // a COM port opens once: another program has it
    case ERROR_SHARING_VIOLATION:
        return EWOULDBLOCK;
    default:
        return EIO;
    }
}

// 8N1 at 115200 with RTS/CTS, binary, no software flow control.
void make_link_settings(DCB &dcb) {
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fAbortOnError = FALSE;
}

// A driver may take SetCommState and keep what it cannot do: read back.
// Some drivers (wine's among them) report RTS handshake as RTS held on;
// either way the adapter may send, so only RTS held off counts as failed.
bool link_settings_hold(HANDLE h) {
    DCB now{};
    now.DCBlength = sizeof now;
    return ::GetCommState(h, &now) && now.BaudRate == CBR_115200 && now.ByteSize == 8 &&
           now.Parity == NOPARITY && now.StopBits == ONESTOPBIT && now.fOutxCtsFlow &&
           now.fRtsControl != RTS_CONTROL_DISABLE;
}

} // namespace

std::unique_ptr<Port> open_serial_port(const char *path, const Port *current,
                                       SerialOpenReport *report) {
    SerialOpenReport scratch;
    if (!report)
        report = &scratch;
    if (!path || !*path) {
        report->open_error = ENOENT;
        return nullptr;
    }
    const NodeInfo node = classify_node(path);
    if (node.kind == NodeKind::Other || node.kind == NodeKind::Hidraw) {
        report->open_error = ENOTTY;
        return nullptr;
    }
    const std::string bare =
        std::strncmp(path, "\\\\.\\", 4) == 0 ? std::string(path + 4) : std::string(path);
    // Windows opens a COM port once: the link reopening the port it holds
    // shares it.
    const auto *held = dynamic_cast<const WinSerialPort *>(current);
    if (held && held->com()->name == lower(bare))
        return std::make_unique<WinSerialPort>(held->com());

    const std::string device = "\\\\.\\" + bare;
    const HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        report->open_error = errno_of(::GetLastError());
        return nullptr;
    }
    auto com = std::make_shared<ComPort>();
    com->h = h;
    com->name = lower(bare);
    // Only a character device carries the link: a file would take the
    // requests as data.
    if (::GetFileType(h) != FILE_TYPE_CHAR) {
        report->open_error = ENOTTY;
        return nullptr;
    }
    com->state.DCBlength = sizeof com->state;
    if (!::GetCommState(h, &com->state)) {
        report->get_settings_failed = true;
        report->set_settings_failed = true; // nothing sound to apply
    } else {
        com->saved_state = true;
        DCB dcb = com->state;
        make_link_settings(dcb);
        if (!::SetCommState(h, &dcb) || !link_settings_hold(h))
            report->set_settings_failed = true;
    }
    // A read returns as soon as bytes are there, or after a slice with none.
    if (::GetCommTimeouts(h, &com->timeouts))
        com->saved_timeouts = true;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = kReadSliceMs;
    if (!::SetCommTimeouts(h, &t))
        report->set_timeouts_failed = true;
    return std::make_unique<WinSerialPort>(std::move(com));
}

bool scan_rfcomm_ports(const char *, char *path, size_t size, std::FILE *out) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS)
        return false;
    bool found = false;
    for (int i = 0; i < kRfcommPorts; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "\\Device\\BTPort%d", i);
        char port[1024] = {};
        DWORD type = 0, bytes = sizeof port - 1;
        if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(port),
                               &bytes) != ERROR_SUCCESS ||
            type != REG_SZ)
            break;
        port[std::min<DWORD>(bytes, sizeof port - 1)] = '\0';
        std::fprintf(out, "Found %s %s\n", name, port);
        std::snprintf(path, size, "%s", port);
        found = true;
    }
    ::RegCloseKey(key);
    return found;
}

} // namespace bridgeio
