// The virtual kit: the adapter board, the RX5120 and the board sensor on one
// clock, the USB link as the host sees it (sessions that send request
// reports and receive reply reports), the faults that can be switched on,
// and the control language with its loopback port.
//
// One mutex guards all of it: reports arrive on the program's thread,
// control lines on the control port's own thread or the caller of
// kit_control.
#pragma once

#include "adapter.h"
#include "board_sensor.h"
#include "clock.h"
#include "rx5120_model.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace virtualkit {

struct Identity {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};

// One opening of the adapter, like an open HID device: its own queue of
// reports on their way to the host. It dies when the adapter is unplugged.
struct Session {
    struct Pending {
        uint64_t due_us = 0;
        std::array<uint8_t, 64> report{};
        bool leaves = false; // the adapter re-enumerates once this reached the host
    };
    uint64_t generation = 0;
    std::deque<Pending> queue; // by due time
    bool streaming = false;
    uint64_t next_packet_us = 0;
};

class ControlServer;

class Kit {
  public:
    static constexpr size_t kReportSize = 64;
    static constexpr uint64_t kPacketIntervalUs = 10000;
    static constexpr size_t kQueueLimit = 64;
    static constexpr size_t kLogLimit = 32;
    static constexpr uint64_t kMaxLatencyMs = 60000;

    explicit Kit(Identity identity);
    ~Kit();
    Kit(const Kit &) = delete;
    Kit &operator=(const Kit &) = delete;

    Identity identity() const { return identity_; }

    // ---- The USB side -------------------------------------------------------
    // The adapter's device node and USB serial number as the host lists it.
    // Each re-enumeration lists it under the next node: virtual-kit-1, -2, ...
    static constexpr const char *kNodePath = "virtual-kit";
    static constexpr const char *kSerialNumber = "VK5120-0001";
    // Full-speed USB: one interrupt transfer a 1 ms frame each way.
    static constexpr uint64_t kUsbFrameUs = 1000;

    // The adapter's device node while it is plugged in, on the bus (not in
    // the middle of a re-enumeration) and has this identity.
    std::optional<std::string> node(uint16_t vendor_id, uint16_t product_id) const;
    // Opens the adapter: null while it is not on the bus or when the identity
    // is not the adapter's (*error ENOENT), while another program holds it
    // (EWOULDBLOCK) or while the node refuses this user (EACCES).
    std::shared_ptr<Session> open(uint16_t vendor_id, uint16_t product_id, int *error = nullptr);
    // Hands one 64-byte request report to the adapter. 0 (taken), or -2 when
    // the adapter is gone (unplugged since the session was opened).
    int write(Session &session, const uint8_t *request);
    // Takes the next report that has reached the host, waiting at most
    // `timeout_ms` (0: only what is there; negative: no limit). 0 with the
    // report in `reply`, -1 on time-out, -2 when the adapter is gone.
    // On the manual clock, waiting is what moves time: the clock advances to
    // the report waited for, or by the whole time-out when none comes.
    int read(Session &session, uint8_t *reply, int timeout_ms);
    // False once the session has died (unplugged, or re-enumerated).
    bool connected(const Session &session) const;

    // ---- Control ------------------------------------------------------------
    // Runs one line of the control language; the answer is zero or more
    // lines and then "ok" or "error: <reason>", each ending in a newline.
    std::string control(std::string_view line);

    // Serves the control language on 127.0.0.1:`port` (0: any free port) from
    // the kit's own thread, one client at a time. Only the first call binds;
    // when the port is taken the kit runs without it. True while listening.
    bool start_control_port(uint16_t port);
    uint16_t control_port() const;
    // Why the control port could not be had; empty while it could.
    std::string control_port_error() const;

  private:
    friend class ControlInterpreter;

    bool alive(const Session &s) const { return plugged_ && s.generation == generation_; }
    bool on_bus(uint64_t now) const { return plugged_ && now >= back_us_; }
    void enqueue(Session &s, uint64_t due, const uint8_t *report, bool leaves = false);
    void produce_packets(Session &s, uint64_t now);
    uint64_t next_due(const Session &s) const;
    void record(const uint8_t *request, const uint8_t *reply, uint64_t now);

    // Fault and power actions of the control language (lock held).
    void unplug();
    void plug();
    void reset();
    // The adapter leaves the bus (every session dies) and is listed again
    // under its next node after the re-enumeration delay.
    void reenumerate(uint64_t now);

    mutable std::mutex mu_;
    std::condition_variable cv_;
    const Identity identity_;

    Clock clock_;
    Rx5120 chip_;
    BoardSensor sensor_;
    Adapter adapter_;

    bool plugged_ = true;
    uint64_t generation_ = 1;
    // Re-enumeration on a switch between bootloader and firmware: the delay
    // until the adapter is listed again (none: it never re-enumerates), the
    // kit time it will be, and how many times it has re-enumerated.
    std::optional<uint64_t> reenumerate_us_;
    uint64_t back_us_ = 0;
    unsigned node_number_ = 0;
    std::vector<std::weak_ptr<Session>> sessions_;

    uint64_t latency_us_ = 0;
    bool usb_timing_ = false; // replies keep the pace of a real USB adapter
    bool held_ = false;       // another program has the adapter open
    bool denied_ = false;     // the device node refuses this user
    unsigned lose_ = 0;
    std::array<bool, 256> refused_{};

    struct LogEntry {
        uint64_t t_us;
        std::array<uint8_t, 64> request;
        std::array<uint8_t, 64> reply;
        bool answered;
    };
    bool log_on_ = false;
    std::deque<LogEntry> log_;
    std::array<uint64_t, 256> counts_{};
    // The threads (kernel ids) that sent requests since the last reset.
    std::set<long> writers_;
    uint64_t blocks_ = 0;

    std::unique_ptr<ControlServer> server_;
    std::string server_error_;
    bool server_tried_ = false;
};

// Fits a control answer into a caller's buffer of `size` bytes (including
// the terminating zero): whole lines from the front, then "...", and always
// the closing "ok" or "error" line when there is room for it.
std::string fit_answer(const std::string &answer, size_t size);

} // namespace virtualkit
