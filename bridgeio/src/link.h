// The report link inside the library: one open port at a time, the request
// and reply framing, and the exchange every command is built on. Command
// files compose their request in obuffer, call rd2 (or wr and rd), and read
// the reply from obuffer.
#pragma once

#include "bridgeio.h"
#include "chip/adapter_commands.h"
#include "chip/byte_order.h"
#include "port/port.h"

#include <cstdio>
#include <memory>
#include <string>

namespace bridgeio {

namespace cmd = rx5120::cmd;
using rx5120::get_le32;
using rx5120::put_le16;
using rx5120::put_le32;

constexpr int kWriteTimeoutMs = 200;
constexpr int kReadTimeoutMs = 1000;
constexpr int kDrainWaitMs = 500;
constexpr int kSerialAttempts = 10;

constexpr uint8_t kHidReportId = 0x00;
constexpr uint8_t kSerialSync = 0xA5;
constexpr size_t kPayloadSize = 64;
constexpr size_t kFrameSize = 65;

// The adapter's way of saying a command failed.
constexpr uint32_t kStatusFailed = 0xFFFFFFFFu;

// Installs an already open port as the one link, closing any link that was
// open before (its handle stops being valid). Returns the new link's handle,
// or BRIDGEIO_INVALID_HANDLE for a null port, which leaves the open link as
// it was.
BridgeHandle link_attach(std::unique_ptr<Port> port);

// Closes the open link, if any.
void link_close();

// Puts a newly opened port behind the open link's handle in place of its
// port (which closes); an armed asynchronous read is dropped with it.
void link_replace_port(std::unique_ptr<Port> port);

// The port behind `handle` when it is the open link; null for any other
// value (stale, invalid or made up). Such handles are never dereferenced.
Port *link_port(BridgeHandle handle);

// Transport of the open link, or of the last one opened.
Transport link_transport();

// Writes obuffer as one request report: 0 sent, -1 time-out, -2 I/O error
// (also for a handle that is not the open link).
int wr(BridgeHandle handle);

// Reads one reply report into obuffer: 0 received, -1 time-out, -2 I/O
// error. obuffer is untouched unless a report arrived.
int rd(BridgeHandle handle);

// Arms the asynchronous read: the next report that arrives during one of the
// library's waits on the link goes to rd_async_callback. 0 armed, -2 not
// (no link, or a read is already armed).
int rd_async(BridgeHandle handle);

// Reads and discards what the adapter still sends after a stream has been
// stopped, until the link has been quiet for kDrainWaitMs. An armed
// asynchronous read takes the first report and is then dropped.
void drain(BridgeHandle handle);

// Stops a pending async_read (its worker) before the link is used again.
void settle_raw_read();

// The port of the open link, for opening functions that must recognise the
// node it holds; null when no link is open.
const Port *link_current_port();

// Opens a serial link. With a null name the highest of the consecutive
// ports rfcomm0, rfcomm1, ... in `scan_dir` is used. Messages go to `out`.
// A port that cannot be opened leaves the open link as it was.
BridgeHandle bt_open(const char *port_name, const char *scan_dir, std::FILE *out);

// What became of the link after a command that may make the adapter
// re-enumerate (leave the bus and come back under another device node).
enum class Relink {
    Same,     // nothing to follow: not a HID link, or its node is still there
    Reopened, // the same adapter was found again and is behind the same handle
    Lost,     // the node went and the adapter did not come back in time
};

// Follows the adapter of the open HID link when its node has gone, waiting
// up to kReappearWaitMs for the same adapter (same USB serial number; with
// none, the only adapter with the link's USB ID) to be listed again and
// opening it behind `handle`. `answered`: the command's exchange succeeded,
// so the node may go only a moment after its reply. The outcome is recorded
// for last_open_result.
constexpr int kReappearWaitMs = 3000;
Relink follow_reenumeration(BridgeHandle handle, bool answered);

// Outcome of the last opening, as last_open_result reports it.
constexpr int kOpenFailed = -1;
constexpr int kOpenNoAdapter = 0;
constexpr int kOpenSucceeded = 1;
void record_open(int outcome, const std::string &text);

// The sentence that names why `path` could not be opened (an errno value).
std::string open_failure_text(const std::string &path, int error);

// Starts a new request in obuffer: the command word, every other byte 0.
void begin_command(uint32_t word);

// The status word of the reply in obuffer.
inline uint32_t reply_status() {
    return get_le32(obuffer);
}

} // namespace bridgeio
