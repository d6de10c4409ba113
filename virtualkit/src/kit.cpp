// The kit's USB side: sessions, the way reports travel to the host (with the
// adapter's busy time, the link latency, lost replies and the packet
// stream), and the power actions of the cable.
#include "kit.h"

#include "support/thread_id.h"

#include "control_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

namespace virtualkit {

namespace {
constexpr int kOk = 0;
constexpr int kTimeout = -1;
constexpr int kIoError = -2;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
} // namespace

Kit::Kit(Identity identity) : identity_(identity), adapter_(chip_, sensor_) {}

Kit::~Kit() {
    // The control thread calls into the kit: stop it before anything goes.
    server_.reset();
}

std::optional<std::string> Kit::node(uint16_t vendor_id, uint16_t product_id) const {
    std::lock_guard lk(mu_);
    if (!on_bus(clock_.now_us()) || vendor_id != identity_.vendor_id ||
        product_id != identity_.product_id)
        return std::nullopt;
    if (node_number_ == 0)
        return kNodePath;
    return std::string(kNodePath) + "-" + std::to_string(node_number_);
}

bool Kit::connected(const Session &session) const {
    std::lock_guard lk(mu_);
    return alive(session);
}

std::shared_ptr<Session> Kit::open(uint16_t vendor_id, uint16_t product_id, int *error) {
    std::lock_guard lk(mu_);
    int scratch = 0;
    if (!error)
        error = &scratch;
    if (!on_bus(clock_.now_us()) || vendor_id != identity_.vendor_id ||
        product_id != identity_.product_id) {
        *error = ENOENT;
        return nullptr;
    }
    if (denied_ || held_) {
        *error = denied_ ? EACCES : EWOULDBLOCK;
        return nullptr;
    }
    auto s = std::make_shared<Session>();
    s->generation = generation_;
    std::erase_if(sessions_, [](const std::weak_ptr<Session> &w) { return w.expired(); });
    sessions_.push_back(s);
    return s;
}

void Kit::enqueue(Session &s, uint64_t due, const uint8_t *report, bool leaves) {
    if (s.queue.size() >= kQueueLimit)
        return; // the host is not reading: further reports are lost
    Session::Pending p;
    p.due_us = due;
    p.leaves = leaves;
    std::memcpy(p.report.data(), report, kReportSize);
    auto at = std::upper_bound(s.queue.begin(), s.queue.end(), due,
                               [](uint64_t d, const Session::Pending &q) { return d < q.due_us; });
    s.queue.insert(at, p);
}

// Puts the stream's packets that are due by `now` into the session's queue.
// Packets that find the queue full are skipped, as a full FIFO drops them.
void Kit::produce_packets(Session &s, uint64_t now) {
    while (s.streaming && s.next_packet_us <= now) {
        if (s.queue.size() >= kQueueLimit) {
            const uint64_t missed = (now - s.next_packet_us) / kPacketIntervalUs + 1;
            s.next_packet_us += missed * kPacketIntervalUs;
            break;
        }
        uint8_t report[kReportSize];
        adapter_.make_packet(report, s.next_packet_us);
        enqueue(s, s.next_packet_us, report);
        s.next_packet_us += kPacketIntervalUs;
    }
}

uint64_t Kit::next_due(const Session &s) const {
    uint64_t next = s.queue.empty() ? kNever : s.queue.front().due_us;
    if (s.streaming && s.queue.size() < kQueueLimit)
        next = std::min(next, s.next_packet_us);
    return next;
}

void Kit::record(const uint8_t *request, const uint8_t *reply, uint64_t now) {
    if (!log_on_)
        return;
    LogEntry e{};
    e.t_us = now;
    std::memcpy(e.request.data(), request, kReportSize);
    e.answered = reply != nullptr;
    if (reply)
        std::memcpy(e.reply.data(), reply, kReportSize);
    log_.push_back(e);
    while (log_.size() > kLogLimit)
        log_.pop_front();
}

int Kit::write(Session &s, const uint8_t *request) {
    std::lock_guard lk(mu_);
    if (!alive(s))
        return kIoError;
    const uint64_t now = clock_.now_us();
    produce_packets(s, now);

    writers_.insert(support::current_thread_id());
    const bool block = adapter_.receiving_blocks();
    if (block)
        ++blocks_;
    else
        ++counts_[request[0]];

    Outcome out;
    const Adapter::Mode mode = adapter_.mode();
    if (!block && refused_[request[0]])
        std::memset(out.reply.data(), 0xFF, 4); // refused: failure status, nothing done
    else
        out = adapter_.handle(request, now);
    // A switch between bootloader and firmware restarts the adapter's USB
    // side: it answers, then leaves the bus.
    const bool leaves = reenumerate_us_ && adapter_.mode() != mode;

    if (out.stream == Outcome::Stream::Start) {
        for (auto &w : sessions_)
            if (auto other = w.lock())
                other->streaming = false;
        s.streaming = true;
        s.next_packet_us = now + out.busy_us + kPacketIntervalUs;
    } else if (out.stream == Outcome::Stream::Stop) {
        for (auto &w : sessions_)
            if (auto other = w.lock())
                other->streaming = false;
    }

    if (lose_ > 0) {
        --lose_;
        record(request, nullptr, now);
        if (leaves)
            reenumerate(now); // it went before its reply did
    } else {
        record(request, out.reply.data(), now);
        uint64_t due = now + out.busy_us;
        if (usb_timing_) {
            // The request goes out in the next frame; the reply comes back in
            // the first frame after the adapter has it ready.
            const uint64_t sent = (now / kUsbFrameUs + 1) * kUsbFrameUs;
            due = ((sent + out.busy_us) / kUsbFrameUs + 1) * kUsbFrameUs;
        }
        enqueue(s, due + latency_us_, out.reply.data(), leaves);
    }
    cv_.notify_all();
    return kOk;
}

int Kit::read(Session &s, uint8_t *reply, int timeout_ms) {
    std::unique_lock lk(mu_);
    const uint64_t start = clock_.now_us();
    const uint64_t deadline =
        timeout_ms < 0 ? kNever : start + static_cast<uint64_t>(timeout_ms) * 1000;
    for (;;) {
        if (!alive(s))
            return kIoError;
        const uint64_t now = clock_.now_us();
        produce_packets(s, now);
        if (!s.queue.empty() && s.queue.front().due_us <= now) {
            std::memcpy(reply, s.queue.front().report.data(), kReportSize);
            const bool leaves = s.queue.front().leaves;
            s.queue.pop_front();
            if (leaves)
                reenumerate(now);
            return kOk;
        }
        if (timeout_ms == 0 || now >= deadline)
            return kTimeout;
        const uint64_t next = next_due(s);
        if (clock_.manual()) {
            if (next != kNever && next <= deadline) {
                clock_.advance_to(next);
                continue;
            }
            if (deadline == kNever) {
                cv_.wait(lk); // only a control line can bring something now
                continue;
            }
            clock_.advance_to(deadline);
            // A host that polls in a loop still gives the other threads a turn.
            cv_.wait_for(lk, std::chrono::milliseconds(1));
            return kTimeout;
        }
        const uint64_t until = std::min(next, deadline);
        if (until == kNever) {
            cv_.wait(lk);
        } else {
            const std::chrono::steady_clock::time_point tp{
                std::chrono::microseconds(clock_.to_steady_us(until))};
            cv_.wait_until(lk, tp);
        }
    }
}

void Kit::unplug() {
    if (!plugged_)
        return;
    plugged_ = false;
    ++generation_;
    adapter_.power_off(clock_.now_us());
    for (auto &w : sessions_)
        if (auto s = w.lock()) {
            s->queue.clear();
            s->streaming = false;
        }
    cv_.notify_all();
}

void Kit::reenumerate(uint64_t now) {
    ++generation_;
    for (auto &w : sessions_)
        if (auto s = w.lock()) {
            s->queue.clear();
            s->streaming = false;
        }
    ++node_number_;
    back_us_ = now + reenumerate_us_.value_or(0);
    cv_.notify_all();
}

void Kit::plug() {
    if (plugged_)
        return;
    plugged_ = true;
    adapter_.power_on(clock_.now_us());
    cv_.notify_all();
}

void Kit::reset() {
    const uint64_t now = clock_.now_us();
    chip_.factory_reset();
    sensor_.factory_reset();
    adapter_.factory_reset(now);
    plugged_ = true;
    reenumerate_us_.reset();
    back_us_ = 0;
    node_number_ = 0;
    latency_us_ = 0;
    usb_timing_ = false;
    held_ = false;
    denied_ = false;
    lose_ = 0;
    refused_.fill(false);
    log_on_ = false;
    log_.clear();
    counts_.fill(0);
    writers_.clear();
    blocks_ = 0;
    for (auto &w : sessions_)
        if (auto s = w.lock()) {
            s->queue.clear();
            s->streaming = false;
        }
    cv_.notify_all();
}

bool Kit::start_control_port(uint16_t port) {
    std::lock_guard lk(mu_);
    if (server_tried_)
        return server_ != nullptr;
    server_tried_ = true;
    auto server =
        std::make_unique<ControlServer>([this](std::string_view line) { return control(line); });
    if (!server->start(port, &server_error_))
        return false;
    server_ = std::move(server);
    return true;
}

uint16_t Kit::control_port() const {
    std::lock_guard lk(mu_);
    return server_ ? server_->port() : 0;
}

std::string Kit::control_port_error() const {
    std::lock_guard lk(mu_);
    return server_ ? std::string() : server_error_;
}

} // namespace virtualkit
