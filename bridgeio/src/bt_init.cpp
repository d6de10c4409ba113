// Opening the serial link: a named port, or the Bluetooth serial port found
// by scanning, with the messages the user sees while it is set up.
#include "link.h"
#include "port/serial.h"

namespace bridgeio {

BridgeHandle bt_open(const char *port_name, const char *scan_dir, std::FILE *out) {
    link_close();
    char found[1024];
    const char *name = port_name;
    if (!name) {
        // Without any Bluetooth serial port there is nothing to open; the
        // caller gets the invalid handle and its process carries on.
        if (!scan_rfcomm_ports(scan_dir, found, sizeof found, out)) {
            std::fflush(out);
            return BRIDGEIO_INVALID_HANDLE;
        }
        name = found;
    }
    std::fprintf(out, "Trying %s\n", name);

    SerialOpenReport report;
    std::unique_ptr<Port> port = open_serial_port(name, &report);
    if (!port)
        report = {true, true, true};
    if (report.get_settings_failed)
        std::fprintf(out, "can't get DCB settings.\n");
    if (report.set_settings_failed)
        std::fprintf(out, "setting commstate failed.\n");
    if (report.set_timeouts_failed)
        std::fprintf(out, "setting commtimeouts failed.");
    std::fflush(out);
    return link_attach(std::move(port));
}

} // namespace bridgeio
