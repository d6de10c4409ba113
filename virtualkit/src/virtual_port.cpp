// The virtual kit as the adapter library's HID port: usb_hid_init finds it
// when the identity matches and the adapter is plugged in.
#include "virtual_port.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "bridgeio.h"

#include <cerrno>
#include <cstring>

namespace virtualkit {

namespace {

constexpr size_t kFrame = 65; // report ID and 64 bytes

class VirtualPort final : public bridgeio::Port {
  public:
    VirtualPort(std::shared_ptr<Kit> kit, std::shared_ptr<Session> session)
        : kit_(std::move(kit)), session_(std::move(session)) {}

    bridgeio::Transport transport() const override { return bridgeio::Transport::Hid; }

    // The kit takes a report at once, so the write never waits.
    int write(const uint8_t *data, size_t len, int) override {
        if (len != kFrame || data[0] != 0)
            return bridgeio::kPortIoError; // not a report the adapter has
        return kit_->write(*session_, data + 1);
    }

    int read(uint8_t *data, size_t len, int timeout_ms, size_t *got) override {
        *got = 0;
        uint8_t report[Kit::kReportSize];
        const int r = kit_->read(*session_, report, timeout_ms);
        if (r != bridgeio::kPortOk)
            return r;
        uint8_t frame[kFrame] = {0};
        std::memcpy(frame + 1, report, sizeof report);
        *got = len < kFrame ? len : kFrame;
        std::memcpy(data, frame, *got);
        return bridgeio::kPortOk;
    }

    // A reply already on its way still arrives, as on a real link.
    void cancel() override {}

    // The kit drops a session the moment its adapter goes: nothing to wait for.
    bool node_gone(int) override { return !kit_->connected(*session_); }

    // Reports that have reached the host stay queued until read, as hidraw
    // keeps them.
    void discard_input() override {
        uint8_t report[Kit::kReportSize];
        while (kit_->read(*session_, report, 0) == bridgeio::kPortOk) {
        }
    }

  private:
    std::shared_ptr<Kit> kit_;
    std::shared_ptr<Session> session_;
};

} // namespace

std::optional<uint16_t> control_port_setting() {
    const char *text = std::getenv("BRIDGEIO_KIT_PORT");
    if (text == nullptr || *text == '\0')
        return kControlPort;
    char *end = nullptr;
    const unsigned long port = std::strtoul(text, &end, 10);
    if (*end != '\0' || port > 65535) {
        std::fprintf(stderr, "BRIDGEIO_KIT_PORT=%s is no port number: no control port\n", text);
        return std::nullopt;
    }
    if (port == 0)
        return std::nullopt;
    return static_cast<uint16_t>(port);
}

std::string kit_serial_number(std::optional<uint16_t> control_port) {
    // Fixed for the process: the first listing decides.
    static const std::string serial = [control_port] {
        const char *text = std::getenv("BRIDGEIO_KIT_SERIAL");
        if (text != nullptr && *text != '\0')
            return std::string(text);
        // Kits side by side have their own ports, and so their own numbers.
        return control_port ? "VK5120-" + std::to_string(*control_port)
                            : std::string(Kit::kSerialNumber);
    }();
    return serial;
}

std::shared_ptr<Kit> process_kit() {
    static const std::shared_ptr<Kit> kit =
        std::make_shared<Kit>(Identity{BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID});
    return kit;
}

std::unique_ptr<bridgeio::Port> make_virtual_port(std::shared_ptr<Kit> kit,
                                                  std::shared_ptr<Session> session) {
    return std::make_unique<VirtualPort>(std::move(kit), std::move(session));
}

} // namespace virtualkit

namespace bridgeio {

std::vector<HidAdapter> list_hid_adapters(uint16_t vendor_id, uint16_t product_id) {
    auto kit = virtualkit::process_kit();
    const auto port = virtualkit::control_port_setting();
    if (port)
        kit->start_control_port(*port);
    const auto node = kit->node(vendor_id, product_id);
    if (!node)
        return {};
    return {{*node, virtualkit::kit_serial_number(port)}};
}

std::unique_ptr<Port> open_hid_adapter(const HidAdapter &adapter, const Port *, int *error) {
    auto kit = virtualkit::process_kit();
    const auto id = kit->identity();
    if (adapter.path != kit->node(id.vendor_id, id.product_id)) {
        *error = ENOENT;
        return nullptr;
    }
    auto session = kit->open(id.vendor_id, id.product_id, error);
    if (!session)
        return nullptr;
    return virtualkit::make_virtual_port(std::move(kit), std::move(session));
}

} // namespace bridgeio
