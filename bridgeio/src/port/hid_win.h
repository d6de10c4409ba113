// The Windows HID port's parts below open_hid_adapter, for the library's
// own opening code and for tests that drive the port over a handle of their
// own (a message-mode named pipe delivers one report per read, as a HID
// device does).
#pragma once

#include "port.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bridgeio {

// How the adapter's reports look on Windows: always with the report ID in
// byte 0 (0 for unnumbered reports), `input_size` and `output_size` bytes
// long as the HID parser reports them.
struct WinReportLayout {
    bool numbered = false;
    uint8_t input_id = 0;
    uint8_t output_id = 0;
    size_t input_size = 65;
    size_t output_size = 65;
};

// Builds the port on an open handle (overlapped I/O) of a HID device, or of
// anything that delivers one report per read. `key` names the device for
// the record of stuck writes; `device`: a real HID device, whose presence
// the port may probe (HidD_GetAttributes). The port owns the handle, also
// when it cannot be built (null, *error set).
std::unique_ptr<Port> make_win_hid_port(void *handle, const WinReportLayout &layout,
                                        const std::string &key, bool device, int *error);

// True while a write to the device `key`, abandoned by its caller and not
// cancellable, is still pending.
bool hid_write_stuck(const std::string &key);

// errno value of open_hid_adapter for a device with a stuck write.
constexpr int kStuckWriteError = EALREADY;

} // namespace bridgeio
