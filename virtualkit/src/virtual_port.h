// Where the virtual kit meets the adapter library: the one kit of the
// process, and the port through which the library's HID link reaches it.
#pragma once

#include <optional>
#include "kit.h"
#include "port/port.h"

#include <memory>
#include <string>

namespace virtualkit {

// The control port the kit serves once the adapter has been opened.
constexpr uint16_t kControlPort = 23457;

// The control port BRIDGEIO_KIT_PORT asks for: unset, 23457; 0 or a text
// that is no port number, none.
std::optional<uint16_t> control_port_setting();

// The adapter's USB serial number: BRIDGEIO_KIT_SERIAL, else one made of
// the control port ("VK5120-23457"), else VK5120-0001 for a kit without one.
std::string kit_serial_number(std::optional<uint16_t> control_port);

// The process's kit, created on first use with the adapter's identity.
std::shared_ptr<Kit> process_kit();

// A HID port on a session of `kit`: 65-byte reports with report ID 0.
std::unique_ptr<bridgeio::Port> make_virtual_port(std::shared_ptr<Kit> kit,
                                                  std::shared_ptr<Session> session);

} // namespace virtualkit
