#include "kit_session.h"

#include <cstdio>
#include <cstdlib>

#include "bridgeio.h"
#include "chip/rx5120.h"
#include "fuzz_support.h"
#include "kit_control.h"

namespace fuzzkit {

void KitHost::console_print(const QString &text) {
    ++printed;
    (void)text.toUtf8(); // touch every character, as the window would
}

void KitHost::append_command_log(const QString &line) {
    ++logged;
    (void)line.toUtf8();
}

void KitHost::sleep_ms(int ms) {
    clock_ms_ += ms;
    kit("advance " + std::to_string(ms < 0 ? 0 : ms));
}

void CountingDocument::insert_text(const QString &text) {
    length_ += text.size();
    cursor_ += text.size();
}

void CountingDocument::delete_before(int n) {
    const int64_t k = n > cursor_ ? cursor_ : n;
    length_ -= k;
    cursor_ -= k;
}

void CountingDocument::delete_after() {
    if (cursor_ < length_)
        --length_;
}

void CountingDocument::append_paragraph(const QString &text) {
    length_ += text.size() + (length_ > 0 ? 1 : 0);
    cursor_ = length_;
}

std::string kit(const std::string &line) {
    char reply[4096] = {};
    kit_control(line.c_str(), reply, sizeof reply);
    return reply;
}

KitSession::KitSession() {
    enable_traces();
    kit("reset");
    kit("clock manual");
    session.connect_adapter();
    if (!session.have_adapter()) {
        std::fprintf(stderr, "fuzz: the virtual kit did not open\n");
        std::abort();
    }
    session.write_pin(rx5120::pin::kGroupA, rx5120::pin::kVioSys, 1); // the chip's supply
}

KitSession::~KitSession() {
    if (session.handle() != BRIDGEIO_INVALID_HANDLE)
        usb_hid_close(session.handle());
}

} // namespace fuzzkit
