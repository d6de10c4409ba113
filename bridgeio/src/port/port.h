// The narrow interface between the protocol code and whatever carries the
// reports: hidapi (hid.cpp), termios (serial.cpp), the virtual kit, or a
// recording port in tests. Protocol files never call the operating system;
// only implementations of Port do.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bridgeio {

enum class Transport { Hid, Serial };

// Result codes of Port operations, the same as the link's wr/rd codes.
constexpr int kPortOk = 0;
constexpr int kPortTimeout = -1;
constexpr int kPortIoError = -2;

class Port {
  public:
    virtual ~Port() = default;

    virtual Transport transport() const = 0;

    // Sends `len` bytes as one report (HID: 65 bytes, byte 0 the report ID;
    // serial: 65 bytes, byte 0 the sync byte). Waits at most `timeout_ms`
    // where the platform allows. kPortOk, kPortTimeout or kPortIoError.
    virtual int write(const uint8_t *data, size_t len, int timeout_ms) = 0;

    // Receives into `data`, at most `len` bytes. HID: one whole report,
    // normalised so that byte 0 is the report ID and the payload follows.
    // Serial: waits until `len` bytes have arrived. Waits at most
    // `timeout_ms` (0: only what is already there; negative: no limit).
    // Stores the count received in *got. kPortOk, kPortTimeout (nothing
    // complete arrived in time; partial serial data stays consumed: it is in
    // `data` and counted in *got, so the caller may continue the read) or
    // kPortIoError.
    virtual int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) = 0;

    // Abandons anything pending (the link calls this after a time-out).
    virtual void cancel() = 0;

    // Drops every report or byte that is already waiting, so that a reply
    // that came too late for its own request is never taken for the next
    // one's. The link calls it before each request.
    virtual void discard_input() = 0;

    // The device node behind the port (its st_rdev) and the descriptor that
    // holds the node's advisory lock; 0 and -1 where there is none. Reopening
    // the node the open link holds shares that lock instead of failing on it.
    virtual uint64_t device_number() const { return 0; }
    virtual int lock_fd() const { return -1; }

    // A file descriptor that becomes readable when input is waiting, for
    // callers that poll (async_read); -1 when the port has none.
    virtual int poll_fd() const { return -1; }

    // True when the device behind the port has gone away (unplugged, or
    // re-enumerated by the adapter under a new node), so that nothing sent
    // through this port can reach it any more. Waits at most `wait_ms` for
    // that to happen. Ports that cannot lose their device never have.
    virtual bool node_gone(int wait_ms) {
        (void)wait_ms;
        return false;
    }
};

// One present HID interface with the adapter's identity.
struct HidAdapter {
    std::string path;   // device node, e.g. /dev/hidraw3
    std::string serial; // USB serial number; empty when it has none
    // For a node the user named rather than one listed by its identity: the
    // USB ID it must have before anything is sent to it (0:0, not checked).
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};

// The USB ID of a node that open_hid_adapter refused with
// kNotTheAdapterError: like errno, the detail of this thread's last refusal.
struct UsbId {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};
inline thread_local UsbId refused_node_id;
constexpr int kNotTheAdapterError = EPROTOTYPE;

// The present HID interfaces with this identity, in enumeration order.
// Exactly one definition of this pair is linked into each library: the
// hidraw one in bridgeio, the virtual kit's in bridgeio-virtual.
std::vector<HidAdapter> list_hid_adapters(uint16_t vendor_id, uint16_t product_id);

// Opens one of them for exclusive use (advisory lock on the node). Null with
// an errno value in *error when it cannot: EACCES (no access rights),
// EWOULDBLOCK (another program holds the lock), EBUSY, ENOENT (gone),
// kNotTheAdapterError (another device than adapter.vendor_id:product_id), ...
// `current` is the open link's port, or null.
std::unique_ptr<Port> open_hid_adapter(const HidAdapter &adapter, const Port *current,
                                       int *error);

// Opens a serial port by device path with the link's settings (115200 baud,
// RTS/CTS) and its advisory lock. Null when the path cannot be opened, with
// the errno value in open_error. Settings failures are reported through the
// three flags so the link can print its messages.
struct SerialOpenReport {
    bool get_settings_failed = false;
    bool set_settings_failed = false;
    bool set_timeouts_failed = false;
    int open_error = 0;
};
std::unique_ptr<Port> open_serial_port(const char *path, const Port *current,
                                       SerialOpenReport *report);

// Takes the advisory lock of the node open on `fd` for the port being
// opened: shares the lock of `current` when that is the same node (the link
// reopens the adapter it holds), otherwise locks without waiting. Returns
// the descriptor that holds the lock (fd itself or a duplicate of the
// current port's), or -1 with errno set (EWOULDBLOCK: held elsewhere).
int take_node_lock(int fd, const Port *current, uint64_t *device_number);

} // namespace bridgeio

namespace bridgeio {

// What a path names, symbolic links followed: a hidraw node, a terminal
// (a tty node, or a character device sysfs does not know, such as a
// pseudo-terminal, which the serial opening checks with isatty), something
// else, or nothing.
enum class NodeKind { Missing, Hidraw, Terminal, Other };
struct NodeInfo {
    NodeKind kind = NodeKind::Missing;
    std::string path; // the resolved path (or the given one when missing)
    std::string what; // for Other: "a regular file", "a directory", ...
};
NodeInfo classify_node(const char *path);

// True when the node was created or changed within the last few seconds:
// udev may not yet have given it the permissions its rule grants.
bool node_just_changed(const char *path);

} // namespace bridgeio
