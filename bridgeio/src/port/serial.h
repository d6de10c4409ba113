// Serial-port helpers beyond the Port interface: finding the Bluetooth
// serial ports the system has bound.
#pragma once

#include <cstddef>
#include <cstdio>

namespace bridgeio {

constexpr int kRfcommPorts = 20;

// Looks for `dir`/rfcomm0, rfcomm1, ... up to rfcomm19 and stops at the
// first one missing. Prints "Found <node> <path>\n" to `out` for each one
// present and leaves the path of the last one in `path` (`size` bytes).
// False when not even rfcomm0 is there.
bool scan_rfcomm_ports(const char *dir, char *path, size_t size, std::FILE *out);

} // namespace bridgeio
