// The USB HID transport through hidapi (hidraw backend).
//
// hidraw writes are synchronous in the kernel, so the write time-out cannot
// be enforced here: a write either completes or fails. Reads honour their
// time-out. The adapter's reports carry no report ID, so hidraw delivers the
// bare 64-byte payload; it is shifted behind a report ID byte of 0 so that
// the link sees the same 65-byte frame on every HID port.
#include "port.h"

#include <hidapi.h>

namespace bridgeio {

namespace {

class HidPort final : public Port {
  public:
    explicit HidPort(hid_device *dev) : dev_(dev) {}
    ~HidPort() override { hid_close(dev_); }

    Transport transport() const override { return Transport::Hid; }

    int write(const uint8_t *data, size_t len, int) override {
        return hid_write(dev_, data, len) < 0 ? kPortIoError : kPortOk;
    }

    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override {
        *got = 0;
        if (len < 2)
            return kPortIoError;
        int n = hid_read_timeout(dev_, data + 1, len - 1, timeout_ms < 0 ? -1 : timeout_ms);
        if (n < 0)
            return kPortIoError;
        if (n == 0)
            return kPortTimeout;
        data[0] = 0;
        *got = static_cast<size_t>(n) + 1;
        return kPortOk;
    }

    // hidapi leaves nothing pending once a read has timed out.
    void cancel() override {}

  private:
    hid_device *dev_;
};

} // namespace

std::unique_ptr<Port> open_hid_port(uint16_t vendor_id, uint16_t product_id) {
    if (hid_init() != 0)
        return nullptr;
    hid_device_info *list = hid_enumerate(vendor_id, product_id);
    hid_device *dev = nullptr;
    // The first interface that opens wins; others that cannot be opened
    // (permissions, claimed elsewhere) are skipped.
    for (hid_device_info *d = list; d && !dev; d = d->next) {
        if (d->vendor_id == vendor_id && d->product_id == product_id && d->path)
            dev = hid_open_path(d->path);
    }
    hid_free_enumeration(list);
    if (!dev)
        return nullptr;
    return std::make_unique<HidPort>(dev);
}

} // namespace bridgeio
