// Opening the adapter over HID: which adapter (the BRIDGEIO_ADAPTER
// selection), exclusive use, and the record of what the last opening did,
// which last_open_result hands to the program.
#include "link.h"
#include "link_state.h"
#include "port/hid.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace bridgeio {

namespace {

struct OpenRecord {
    int outcome = kOpenNoAdapter;
    std::string text = "no adapter has been opened yet";
};

OpenRecord &open_record() {
    static OpenRecord *r = new OpenRecord; // never destroyed, like the link
    return *r;
}

std::string describe(const HidAdapter &a) {
    return a.path + " (serial number " + (a.serial.empty() ? "none" : a.serial) + ")";
}

// The adapter the user chose, or null for the first one that opens.
const char *selection() {
    const char *v = std::getenv("BRIDGEIO_ADAPTER");
    return v && *v ? v : nullptr;
}

} // namespace

void record_open(int outcome, const std::string &text) {
    open_record() = {outcome, text};
}

std::string open_failure_text(const std::string &path, int error) {
    std::string why;
    switch (error) {
    case EACCES:
    case EPERM:
        // Serial nodes (ttyUSB, ttyACM, rfcomm) belong to the group dialout;
        // the adapter's hidraw node gets its access from the udev rule.
        why = classify_node(path.c_str()).kind == NodeKind::Terminal
                  ? "permission denied (no access rights to the device node: join the "
                    "dialout group)"
                  : "permission denied (no access rights to the device node: install the udev "
                    "rule or join the plugdev group)";
        break;
    case kStuckWriteError:
        why = "busy (a request this program sent is still stuck in the kernel; it ends "
              "within seconds)";
        break;
    case ENOTTY:
        why = "neither a hidraw node nor a terminal";
        break;
    case EPROTO:
        why = "its reports carry report IDs, but none is a 64-byte request and reply";
        break;
    case EWOULDBLOCK:
        why = "in use by another program (it holds the adapter's lock)";
        break;
    case EBUSY:
        why = "busy (another program or driver has it open exclusively)";
        break;
    case kNotTheAdapterError: {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", refused_node_id.vendor_id,
                      refused_node_id.product_id);
        return path + " is " + id + ", not the adapter";
    }
    default:
        why = std::strerror(error);
        break;
    }
    return "cannot open " + path + ": " + why;
}

BridgeHandle hid_open(int vendor_id, int product_id) {
    char ids[48];
    std::snprintf(ids, sizeof ids, "%04x:%04x", static_cast<unsigned>(vendor_id) & 0xFFFFFFFFu,
                  static_cast<unsigned>(product_id) & 0xFFFFFFFFu);
    // USB IDs are 16 bits: anything else names no device, rather than the
    // one its low bits happen to match.
    if (vendor_id < 0 || vendor_id > 0xFFFF || product_id < 0 || product_id > 0xFFFF) {
        record_open(kOpenNoAdapter, std::string("no adapter: ") + ids + " is not a USB ID");
        return BRIDGEIO_INVALID_HANDLE;
    }
    const std::vector<HidAdapter> present =
        list_hid_adapters(static_cast<uint16_t>(vendor_id), static_cast<uint16_t>(product_id));
    const char *chosen = selection();
    // The name as given, and the device it resolves to: a symbolic link to
    // an adapter's hidraw node (how boards are named on a bench) is that node.
    const NodeInfo named = chosen ? classify_node(chosen) : NodeInfo{};
    std::vector<HidAdapter> candidates;
    for (const HidAdapter &a : present)
        if (!chosen || a.path == chosen || (!a.serial.empty() && a.serial == chosen) ||
            (named.kind == NodeKind::Hidraw && classify_node(a.path.c_str()).path == named.path))
            candidates.push_back(a);

    if (chosen && candidates.empty()) {
        if (named.kind == NodeKind::Terminal)
            return bt_open(chosen, "/dev", stdout);
        if (named.kind == NodeKind::Hidraw)
            candidates.push_back({named.path, "", static_cast<uint16_t>(vendor_id),
                                  static_cast<uint16_t>(product_id)});
    }
    if (chosen && candidates.empty()) {
        if (named.kind == NodeKind::Other) {
            // Neither reports nor serial bytes may go there.
            record_open(kOpenFailed, std::string("BRIDGEIO_ADAPTER \"") + chosen + "\" names " +
                                         named.what + ", neither a hidraw node nor a terminal");
            return BRIDGEIO_INVALID_HANDLE;
        }
        // A serial port's path that is not there (yet): its opening says so.
        if (chosen[0] == '/' && !std::strstr(chosen, "hidraw"))
            return bt_open(chosen, "/dev", stdout);
        std::string text = std::string("BRIDGEIO_ADAPTER \"") + chosen +
                           "\" names none of the adapters present";
        for (const HidAdapter &a : present)
            text += (&a == &present.front() ? ": " : ", ") + describe(a);
        record_open(present.empty() ? kOpenNoAdapter : kOpenFailed, text);
        return BRIDGEIO_INVALID_HANDLE;
    }
    if (candidates.empty()) {
        record_open(kOpenNoAdapter, std::string("no adapter with USB ID ") + ids + " is present");
        return BRIDGEIO_INVALID_HANDLE;
    }

    std::string failure;
    bool settling = true;
    for (const HidAdapter &a : candidates) {
        int error = 0;
        std::unique_ptr<Port> port = open_hid_adapter(a, link_current_port(), &error);
        if (port) {
            record_open(kOpenSucceeded, "opened " + describe(a));
            const BridgeHandle handle = link_attach(std::move(port));
            LinkState &s = link_state();
            s.identified = true;
            s.adapter = a;
            s.vendor_id = static_cast<uint16_t>(vendor_id);
            s.product_id = static_cast<uint16_t>(product_id);
            return handle;
        }
        // Just plugged in: the node is listed before udev has applied the
        // rule, so "permission denied" then means "not there yet".
        settling = settling && error == EACCES && node_just_changed(a.path.c_str());
        if (failure.empty())
            failure = open_failure_text(a.path, error);
    }
    // Only a successful open replaces the link: the open one stays usable.
    if (settling)
        record_open(kOpenNoAdapter, "the adapter at " + candidates.front().path +
                                        " is still being set up (udev has not given it "
                                        "its permissions yet)");
    else
        record_open(kOpenFailed, failure);
    return BRIDGEIO_INVALID_HANDLE;
}

namespace {

// How long the node of an adapter that answered a mode switch is given to go
// away: a re-enumerating adapter sends its reply first and then leaves the
// bus, which the host notices a moment later, behind a USB 2.0 hub up to
// about 256 ms later (the hub reports port changes at that interval). The
// wait ends as soon as the node has gone.
constexpr int kHangupWaitMs = 500;
constexpr int kListIntervalMs = 50;

// The adapter `was` among `present`: the one with its serial number, or,
// when it has none, the only one there is.
const HidAdapter *same_adapter(const std::vector<HidAdapter> &present, const HidAdapter &was) {
    if (was.serial.empty())
        return present.size() == 1 ? &present.front() : nullptr;
    for (const HidAdapter &a : present)
        if (a.serial == was.serial)
            return &a;
    return nullptr;
}

} // namespace

Relink follow_reenumeration(BridgeHandle handle, bool answered) {
    LinkState &s = link_state();
    Port *port = link_port(handle);
    if (!port || !s.identified || port->transport() != Transport::Hid ||
        !port->node_gone(answered ? kHangupWaitMs : 0))
        return Relink::Same;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kReappearWaitMs);
    const HidAdapter was = s.adapter;
    std::string failure;
    for (;;) {
        const std::vector<HidAdapter> present = list_hid_adapters(s.vendor_id, s.product_id);
        if (const HidAdapter *a = same_adapter(present, was)) {
            // The dead port still holds the old node's lock, which is no lock
            // on the new node: the new one is locked on its own.
            int error = 0;
            if (std::unique_ptr<Port> fresh = open_hid_adapter(*a, nullptr, &error)) {
                s.adapter = *a;
                link_replace_port(std::move(fresh));
                record_open(kOpenSucceeded,
                            "reopened " + describe(*a) + " after the adapter re-enumerated");
                return Relink::Reopened;
            }
            // Just listed: udev may still be setting the node up.
            failure = open_failure_text(a->path, error);
        }
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(kListIntervalMs)));
    }
    if (failure.empty())
        record_open(kOpenNoAdapter, "the adapter " + describe(was) +
                                        " re-enumerated and did not come back within " +
                                        std::to_string(kReappearWaitMs / 1000) + " s");
    else
        record_open(kOpenFailed, failure);
    return Relink::Lost;
}

} // namespace bridgeio

using namespace bridgeio;

extern "C" {

BRIDGEIO_API BridgeHandle usb_hid_init(int vendor_id, int product_id) {
    return hid_open(vendor_id, product_id);
}

BRIDGEIO_API int last_open_result(char *text, size_t size) {
    const OpenRecord &r = open_record();
    if (text && size > 0)
        std::snprintf(text, size, "%s", r.text.c_str());
    return r.outcome;
}

} // extern "C"
