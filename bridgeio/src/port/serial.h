// Serial-port helpers beyond the Port interface: finding the Bluetooth
// serial ports the system has bound.
#pragma once

#include "port.h"

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bridgeio {

constexpr int kRfcommPorts = 20;

// How long opening an rfcomm node waits for its Bluetooth link to connect;
// the first exchange after the open has as long again, in case it did not.
constexpr int kRfcommConnectMs = 5000;

// Builds the serial port on an open terminal (the opening code's last step,
// and tests' way to a port over a terminal of their own). The port owns `fd`
// and `lock` (fd itself, a duplicate, or -1); what the terminal was like
// before is put back only for terminals open_serial_port remembered. The
// first exchange may take up to `connect_budget_ms` (0: none).
std::unique_ptr<Port> make_serial_port(int fd, int lock, uint64_t device, int connect_budget_ms);

// Asks `link_up` every 20 ms until it answers 1 (up) or -1 (cannot tell), or
// until `timeout_ms` have passed. True when the link came up.
bool wait_for_link(const std::function<int()> &link_up, int timeout_ms);

// Where serial tools put their lock files (LCK..ttyUSB0).
inline const std::vector<std::string> kLockDirs = {"/var/lock", "/run/lock"};

// True when one of `dirs` holds a lock file for the device (by its node's
// name) that names a live process other than this one.
bool held_by_lock_file(const char *device_path, const std::vector<std::string> &dirs);

// Looks for `dir`/rfcomm0, rfcomm1, ... up to rfcomm19 and stops at the
// first one missing. Prints "Found <node> <path>\n" to `out` for each one
// present and leaves the path of the last one in `path` (`size` bytes).
// False when not even rfcomm0 is there.
bool scan_rfcomm_ports(const char *dir, char *path, size_t size, std::FILE *out);

} // namespace bridgeio
