// The hidraw port's parts below open_hid_adapter, for the library's own
// opening code and for tests that drive the port over a descriptor of their
// own (a socket pair that delivers one report per read, as hidraw does).
#pragma once

#include "port.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct hid_device_info;

namespace bridgeio {

// One HID interface as enumeration reports it.
struct HidInterface {
    std::string path;   // the hidraw node
    std::string serial; // USB serial number, may be empty
    std::string device; // what identifies the USB device (its sysfs path); may be empty
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    int interface_number = -1;
};

// The interfaces of hidapi's enumeration list, with each one's USB device
// looked up in sysfs and the serial number narrowed to printable ASCII.
std::vector<HidInterface> describe_hid_devices(const hid_device_info *list);

// The adapters among `found`: interfaces with this identity, one per USB
// device (its lowest interface number: the adapter's command interface), in
// enumeration order. Interfaces of one device are recognised by `device`,
// or by the serial number where that is empty.
std::vector<HidAdapter> select_hid_adapters(const std::vector<HidInterface> &found,
                                            uint16_t vendor_id, uint16_t product_id);

// How the adapter's reports are numbered, from its report descriptor.
struct ReportLayout {
    bool numbered = false; // reports carry a report ID byte
    uint8_t input_id = 0;  // the 64-byte reply report
    uint8_t output_id = 0; // the 64-byte request report
};

// Reads the layout from a report descriptor. Unnumbered reports are taken
// as they are; with report IDs, the 64-byte input and output reports are
// looked up. False when the descriptor cannot be parsed or has report IDs
// but no 64-byte input or output report.
bool parse_report_layout(const uint8_t *descriptor, size_t size, ReportLayout *layout);

// Builds the port on an open descriptor of a hidraw node (or anything that
// delivers one report per read). `lock` is the descriptor holding the node's
// advisory lock (fd itself, a duplicate, or -1), `node` the key under which
// a write stuck in the kernel is remembered. The port owns both descriptors,
// also when it cannot be built (null, *error set).
std::unique_ptr<Port> make_hidraw_port(int fd, int lock, uint64_t node, const ReportLayout &layout,
                                       int *error);

// True while a write to `node`, abandoned by its caller, is still in the
// kernel. Opening such a node would wait in open() for the write to end.
bool hid_write_stuck(uint64_t node);

// errno value of open_hid_adapter for a node with a stuck write.
constexpr int kStuckWriteError = EALREADY;

} // namespace bridgeio
