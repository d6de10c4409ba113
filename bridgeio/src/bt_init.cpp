// Opening the serial link: a named port, the one BRIDGEIO_ADAPTER names, or
// the Bluetooth serial port found by scanning, with the messages the user
// sees while it is set up.
#include "link.h"
#include "port/serial.h"

#include <cerrno>
#include <cstdlib>

namespace bridgeio {

BridgeHandle bt_open(const char *port_name, const char *scan_dir, std::FILE *out) {
    char found[1024];
    const char *name = port_name;
    if (!name) {
        const char *chosen = std::getenv("BRIDGEIO_ADAPTER");
        name = chosen && *chosen ? chosen : nullptr;
    }
    if (!name) {
        // Without any Bluetooth serial port there is nothing to open; the
        // caller gets the invalid handle and its process carries on.
        if (!scan_rfcomm_ports(scan_dir, found, sizeof found, out)) {
            std::fprintf(out, "No Bluetooth serial port (%s/rfcomm0) found\n", scan_dir);
            std::fflush(out);
            record_open(kOpenNoAdapter, std::string("no Bluetooth serial port (") + scan_dir +
                                            "/rfcomm0) is present");
            return BRIDGEIO_INVALID_HANDLE;
        }
        name = found;
    }
    std::fprintf(out, "Trying %s\n", name);

    SerialOpenReport report;
    std::unique_ptr<Port> port = open_serial_port(name, link_current_port(), &report);
    if (!port) {
        report.get_settings_failed = report.set_settings_failed = report.set_timeouts_failed =
            true;
    }
    if (report.get_settings_failed)
        std::fprintf(out, "can't get DCB settings.\n");
    if (report.set_settings_failed)
        std::fprintf(out, "setting commstate failed.\n");
    if (report.set_timeouts_failed)
        std::fprintf(out, "setting commtimeouts failed.");
    std::fflush(out);
    if (!port) {
        // The link that was open stays open: only a port that opened
        // replaces it.
        record_open(report.open_error == ENOENT ? kOpenNoAdapter : kOpenFailed,
                    open_failure_text(name, report.open_error));
        return BRIDGEIO_INVALID_HANDLE;
    }
    record_open(kOpenSucceeded, std::string("opened serial port ") + name);
    return link_attach(std::move(port));
}

} // namespace bridgeio

extern "C" {

BRIDGEIO_API BridgeHandle bt_init(const char *port_name) {
    return bridgeio::bt_open(port_name, "/dev", stdout);
}

} // extern "C"
