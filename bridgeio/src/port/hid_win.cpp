// The USB HID transport on Windows: the HID set-up API finds the adapter's
// interface, the port reads and writes it with overlapped I/O.
//
// Every transfer has its own event and waits for it at most its time-out; a
// transfer that timed out is cancelled (CancelIoEx) and waited for, so that
// its buffer is free again. A write that even the cancel does not end is
// "stuck": its buffer and record stay with it until it ends (a thread waits
// for that when the port closes), later writes fail at once meanwhile, the
// device is remembered process-wide so that reopening it answers "busy", and
// the request may still reach the adapter, so a reply that follows it is
// dropped before the next request.
//
// Reads always bring the report ID in byte 0 (0 for unnumbered reports), so
// the link's 65-byte frame is what crosses the handle; with numbered reports
// the request gets the adapter's output ID and other input reports are
// skipped. Unplugging shows as ERROR_DEVICE_NOT_CONNECTED (or its friends)
// on the next transfer: the link reports the adapter lost.
//
// One program at a time: the device is opened shared, as the HID class
// expects, and a named object per device path tells other users of this
// library that it is taken.
#include "hid_win.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
// The HID headers of some SDKs declare no C linkage of their own.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace bridgeio {

namespace {

using Clock = std::chrono::steady_clock;

// A reply to an abandoned request follows its write within this time.
constexpr int kLateReplyMs = 100;
// How long a cancelled transfer is given to end before it counts as stuck.
constexpr DWORD kCancelWaitMs = 100;
constexpr size_t kMaxReport = 512;

struct StuckDevices {
    std::mutex mu;
    std::multiset<std::string> keys;
};
StuckDevices &stuck_devices() {
    static StuckDevices *s = new StuckDevices; // a waiter may end during exit
    return *s;
}

void mark_stuck(const std::string &key, bool stuck) {
    StuckDevices &s = stuck_devices();
    std::lock_guard lk(s.mu);
    if (stuck)
        s.keys.insert(key);
    else if (auto it = s.keys.find(key); it != s.keys.end())
        s.keys.erase(it);
}

// The claims this process holds, by name: a port of this process may take
// a device that another of its ports still claims (the link reopening its
// adapter, or finding it again under the same path after it re-enumerated
// while the dead port is still there); only other processes are kept out.
struct Claims {
    std::mutex mu;
    std::multiset<std::string> names;
};
Claims &claims() {
    static Claims *c = new Claims;
    return *c;
}

// Takes the named object of a device; null when another process holds it.
HANDLE take_claim(const std::string &name) {
    Claims &c = claims();
    std::lock_guard lk(c.mu);
    const HANDLE claim = ::CreateMutexA(nullptr, FALSE, name.c_str());
    if (!claim)
        return nullptr;
    if (::GetLastError() == ERROR_ALREADY_EXISTS && c.names.count(name) == 0) {
        ::CloseHandle(claim);
        return nullptr;
    }
    c.names.insert(name);
    return claim;
}

void release_claim(HANDLE claim, const std::string &name) {
    if (!claim)
        return;
    Claims &c = claims();
    std::lock_guard lk(c.mu);
    ::CloseHandle(claim);
    if (auto it = c.names.find(name); it != c.names.end())
        c.names.erase(it);
}

// The errors that mean the device has gone (unplugged, re-enumerated, or
// the far end of a test pipe closed).
bool device_gone(DWORD e) {
    switch (e) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_BAD_COMMAND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_HANDLE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}

DWORD wait_ms(Clock::time_point deadline, bool forever) {
    if (forever)
        return INFINITE;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(std::min<long long>(left, INFINITE - 1)) : 0;
}

// One overlapped transfer: its record, event and buffer stay together, so a
// transfer that outlives its caller never writes into freed memory.
struct Transfer {
    OVERLAPPED ov{};
    uint8_t buf[kMaxReport] = {};
    Transfer() { ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Transfer() {
        if (ov.hEvent)
            ::CloseHandle(ov.hEvent);
    }
    void arm() {
        const HANDLE e = ov.hEvent;
        ov = OVERLAPPED{};
        ov.hEvent = e;
        ::ResetEvent(e);
    }
};

// What the port and, for a stuck write, the thread that waits for it share.
struct Device {
    HANDLE h = INVALID_HANDLE_VALUE;
    HANDLE claim = nullptr; // the named object that says the device is taken
    std::string claim_name;
    Transfer wr, rd;
    std::string key;
    ~Device() {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
        release_claim(claim, claim_name);
    }
};

// The outcome of a transfer once it has ended: its byte count, or the error.
bool finished(Device &d, Transfer &t, DWORD *n, DWORD *error) {
    if (::GetOverlappedResult(d.h, &t.ov, n, FALSE))
        return true;
    *error = ::GetLastError();
    return false;
}

class WinHidPort final : public Port {
  public:
    WinHidPort(std::shared_ptr<Device> d, const WinReportLayout &layout, bool device)
        : d_(std::move(d)), layout_(layout), device_(device) {}

    ~WinHidPort() override {
        if (!write_pending_)
            return;
        // The adapter is free for the next opener at once; the write still
        // holds its buffer, so a thread keeps the device until it ends.
        std::shared_ptr<Device> d = d_;
        release_claim(d->claim, d->claim_name);
        d->claim = nullptr;
        std::thread([d] {
            DWORD n = 0;
            ::CancelIoEx(d->h, &d->wr.ov);
            ::GetOverlappedResult(d->h, &d->wr.ov, &n, TRUE);
            mark_stuck(d->key, false);
        }).detach();
    }

    Transport transport() const override { return Transport::Hid; }

    int write(const uint8_t *data, size_t len, int timeout_ms) override {
        if (len == 0 || len > layout_.output_size || gone_)
            return kPortIoError;
        if (write_pending_ && !write_ended())
            return kPortTimeout; // the previous write is still under way
        Transfer &t = d_->wr;
        t.arm();
        std::memset(t.buf, 0, layout_.output_size);
        std::memcpy(t.buf, data, len);
        t.buf[0] = layout_.numbered ? layout_.output_id : data[0];
        DWORD n = 0, error = 0;
        if (::WriteFile(d_->h, t.buf, static_cast<DWORD>(layout_.output_size), nullptr, &t.ov))
            return kPortOk;
        if ((error = ::GetLastError()) != ERROR_IO_PENDING)
            return failed(error);
        const DWORD w = ::WaitForSingleObject(t.ov.hEvent, timeout_ms < 0 ? INFINITE
                                                                          : static_cast<DWORD>(timeout_ms));
        if (w == WAIT_OBJECT_0)
            return finished(*d_, t, &n, &error) ? kPortOk : failed(error);
        ::CancelIoEx(d_->h, &t.ov);
        if (::WaitForSingleObject(t.ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0) {
            // Went out after all, just too late: its reply may follow.
            if (finished(*d_, t, &n, &error))
                late_reply_ = true;
            return kPortTimeout;
        }
        write_pending_ = true;
        mark_stuck(d_->key, true);
        return kPortTimeout;
    }

    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override {
        *got = 0;
        if (len < 2)
            return kPortIoError;
        if (gone_)
            return kPortIoError;
        // One deadline for the whole read: reports of another number do
        // not start the wait again.
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            DWORD n = 0;
            const int r = read_report(wait_ms(deadline, timeout_ms < 0), &n);
            if (r != kPortOk)
                return r;
            const uint8_t *report = d_->rd.buf;
            if (layout_.numbered && report[0] != layout_.input_id)
                continue; // another report of the device: not a reply
            const size_t size = std::min<size_t>(n, len);
            std::memcpy(data, report, size);
            if (!layout_.numbered)
                data[0] = 0;
            *got = size;
            return kPortOk;
        }
    }

    // A read that timed out has been cancelled and ended already.
    void cancel() override {}

    void discard_input() override {
        if (write_pending_)
            write_ended();
        DWORD n = 0;
        // An abandoned request that went out after all may still be
        // answered: wait a little for that reply.
        if (late_reply_) {
            late_reply_ = false;
            if (read_report(kLateReplyMs, &n) != kPortOk)
                return;
        }
        while (read_report(0, &n) == kPortOk) {
        }
    }

    bool node_gone(int wait) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(wait);
        for (;;) {
            if (gone_)
                return true;
            HIDD_ATTRIBUTES a{};
            a.Size = sizeof a;
            if (device_ && !::HidD_GetAttributes(d_->h, &a) && device_gone(::GetLastError()))
                gone_ = true;
            if (gone_ || Clock::now() >= deadline)
                return gone_;
            ::Sleep(10);
        }
    }

    void set_claim(HANDLE claim, const std::string &name) {
        d_->claim = claim;
        d_->claim_name = name;
    }

  private:
    int failed(DWORD error) {
        if (device_gone(error))
            gone_ = true;
        return kPortIoError;
    }

    // True when the stuck write has ended; notes whether it went out.
    bool write_ended() {
        DWORD n = 0, error = 0;
        const bool ok = finished(*d_, d_->wr, &n, &error);
        if (!ok && error == ERROR_IO_INCOMPLETE)
            return false;
        write_pending_ = false;
        late_reply_ = late_reply_ || ok;
        mark_stuck(d_->key, false);
        return true;
    }

    // One report into rd.buf within `ms`: kPortOk, kPortTimeout, kPortIoError.
    int read_report(DWORD ms, DWORD *n) {
        Transfer &t = d_->rd;
        t.arm();
        t.buf[0] = 0;
        DWORD error = 0;
        const DWORD size = static_cast<DWORD>(layout_.input_size);
        if (!::ReadFile(d_->h, t.buf, size, nullptr, &t.ov)) {
            error = ::GetLastError();
            if (error == ERROR_IO_PENDING && ::WaitForSingleObject(t.ov.hEvent, ms) != WAIT_OBJECT_0) {
                ::CancelIoEx(d_->h, &t.ov);
                // A report that arrived just now is taken, not lost.
                if (::GetOverlappedResult(d_->h, &t.ov, n, TRUE))
                    return kPortOk;
                error = ::GetLastError();
                return error == ERROR_OPERATION_ABORTED ? kPortTimeout
                       : error == ERROR_MORE_DATA       ? rest_dropped()
                                                        : failed(error);
            }
            if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
                return failed(error);
        }
        if (finished(*d_, t, n, &error))
            return kPortOk;
        return error == ERROR_MORE_DATA ? rest_dropped() : failed(error);
    }

    // A report longer than the device said (a pipe's message): its head is
    // the report, the rest goes.
    int rest_dropped() {
        uint8_t scratch[kMaxReport];
        Transfer t;
        for (;;) {
            t.arm();
            DWORD n = 0;
            if (::ReadFile(d_->h, scratch, sizeof scratch, nullptr, &t.ov) ||
                ::GetOverlappedResult(d_->h, &t.ov, &n, TRUE))
                break;
            if (::GetLastError() != ERROR_MORE_DATA)
                break;
        }
        return kPortOk;
    }

    std::shared_ptr<Device> d_;
    WinReportLayout layout_;
    bool device_;
    bool gone_ = false;
    bool write_pending_ = false;
    bool late_reply_ = false;
};

std::string narrow(const wchar_t *w) {
    std::string s;
    for (; w && *w; ++w)
        s += (*w > 0x20 && *w < 0x7F) ? static_cast<char>(*w) : '?';
    return s;
}

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The interface number in a device path ("...&mi_01#..."), -1 without one.
int interface_number(const std::string &path) {
    const size_t at = lower(path).find("&mi_");
    if (at == std::string::npos || at + 6 > path.size())
        return -1;
    return static_cast<int>(std::strtol(path.substr(at + 4, 2).c_str(), nullptr, 16));
}

// The name of the object that marks the device taken: one per path
// (case-insensitive), no backslashes, in this session's namespace.
std::string claim_name(const std::string &path) {
    std::string name = "Local\\bridgeio-adapter-";
    for (char c : lower(path))
        name += c == '\\' ? '_' : c;
    return name;
}

int errno_of(DWORD e) {
    switch (e) {
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
        return EBUSY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
        return ENOENT;
    default:
        return EIO;
    }
}

// The report layout from the HID parser; 0, ENOTTY (no HID device) or
// EPROTO (reports the link cannot frame).
int read_layout(HANDLE h, WinReportLayout *layout) {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!::HidD_GetPreparsedData(h, &data))
        return ENOTTY;
    HIDP_CAPS caps{};
    int result = EPROTO;
    if (::HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS) {
        layout->input_size = caps.InputReportByteLength;
        layout->output_size = caps.OutputReportByteLength;
        // The report IDs of the first input and output value items.
        const auto first_id = [&](HIDP_REPORT_TYPE type, USHORT count, uint8_t *id) {
            HIDP_VALUE_CAPS values[8];
            USHORT n = std::min<USHORT>(count, 8);
            if (n > 0 && ::HidP_GetValueCaps(type, values, &n, data) == HIDP_STATUS_SUCCESS && n > 0)
                *id = values[0].ReportID;
        };
        first_id(HidP_Input, caps.NumberInputValueCaps, &layout->input_id);
        first_id(HidP_Output, caps.NumberOutputValueCaps, &layout->output_id);
        layout->numbered = layout->input_id != 0 || layout->output_id != 0;
        // A 64-byte request and reply behind the ID byte.
        if (layout->input_size == 65 && layout->output_size == 65)
            result = 0;
    }
    ::HidD_FreePreparsedData(data);
    return result;
}

} // namespace

std::unique_ptr<Port> make_win_hid_port(void *handle, const WinReportLayout &layout,
                                        const std::string &key, bool device, int *error) {
    auto d = std::make_shared<Device>();
    d->h = static_cast<HANDLE>(handle);
    d->key = key;
    if (!d->wr.ov.hEvent || !d->rd.ov.hEvent || layout.input_size > kMaxReport ||
        layout.output_size > kMaxReport || layout.input_size < 2) {
        *error = ENOMEM;
        return nullptr;
    }
    return std::make_unique<WinHidPort>(std::move(d), layout, device);
}

bool hid_write_stuck(const std::string &key) {
    StuckDevices &s = stuck_devices();
    std::lock_guard lk(s.mu);
    return s.keys.count(key) != 0;
}

std::vector<HidAdapter> list_hid_adapters(uint16_t vendor_id, uint16_t product_id) {
    GUID guid;
    ::HidD_GetHidGuid(&guid);
    const HDEVINFO set =
        ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    struct Found {
        HidAdapter adapter;
        int number;
    };
    std::vector<Found> found;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &iface); ++i) {
        DWORD size = 0;
        ::SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;
        std::vector<unsigned char> storage(size);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!::SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, size, nullptr, nullptr))
            continue;
        // No access rights needed to read the identity: this works for
        // interfaces that another program holds, and for keyboards.
        const HANDLE h = ::CreateFileA(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        wchar_t serial[128] = {};
        if (::HidD_GetAttributes(h, &a) && a.VendorID == vendor_id && a.ProductID == product_id) {
            if (!::HidD_GetSerialNumberString(h, serial, sizeof serial - sizeof(wchar_t)))
                serial[0] = 0;
            found.push_back({{detail->DevicePath, narrow(serial)}, interface_number(detail->DevicePath)});
        }
        ::CloseHandle(h);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    // The adapter's command interface is its lowest: per serial number the
    // lowest interface listed; without a serial number, interface 0 or none.
    std::vector<HidAdapter> adapters;
    for (const Found &f : found) {
        bool lowest = f.adapter.serial.empty() ? f.number <= 0 : true;
        for (const Found &g : found)
            if (!f.adapter.serial.empty() && g.adapter.serial == f.adapter.serial &&
                g.number < f.number)
                lowest = false;
        if (lowest)
            adapters.push_back(f.adapter);
    }
    return adapters;
}

std::unique_ptr<Port> open_hid_adapter(const HidAdapter &adapter, const Port *, int *error) {
    if (hid_write_stuck(lower(adapter.path))) {
        *error = kStuckWriteError;
        return nullptr;
    }
    const HANDLE h = ::CreateFileA(adapter.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = errno_of(::GetLastError());
        return nullptr;
    }
    WinReportLayout layout;
    if (const int e = read_layout(h, &layout)) {
        *error = e;
        ::CloseHandle(h);
        return nullptr;
    }
    const std::string name = claim_name(adapter.path);
    const HANDLE claim = take_claim(name);
    if (!claim) {
        ::CloseHandle(h);
        *error = EWOULDBLOCK;
        return nullptr;
    }
    std::unique_ptr<Port> port = make_win_hid_port(h, layout, lower(adapter.path), true, error);
    if (port)
        static_cast<WinHidPort *>(port.get())->set_claim(claim, name);
    else
        release_claim(claim, name);
    return port;
}

} // namespace bridgeio
