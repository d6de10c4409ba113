// The narrow interface between the protocol code and whatever carries the
// reports: hidapi (hid.cpp), termios (serial.cpp), the virtual kit, or a
// recording port in tests. Protocol files never call the operating system;
// only implementations of Port do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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

    // A file descriptor that becomes readable when input is waiting, for
    // callers that poll (async_read); -1 when the port has none.
    virtual int poll_fd() const { return -1; }
};

// Opens the first HID interface with this identity; null when none is
// present. Exactly one definition is linked into each library: the hidapi
// one in bridgeio, the virtual kit's in bridgeio-virtual.
std::unique_ptr<Port> open_hid_port(uint16_t vendor_id, uint16_t product_id);

// Opens a serial port by device path with the link's settings (115200 baud,
// RTS/CTS). Null when the path cannot be opened. Settings failures are
// reported through the three flags so the link can print its messages.
struct SerialOpenReport {
    bool get_settings_failed = false;
    bool set_settings_failed = false;
    bool set_timeouts_failed = false;
};
std::unique_ptr<Port> open_serial_port(const char *path, SerialOpenReport *report);

} // namespace bridgeio
