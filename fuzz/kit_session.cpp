#include "kit_session.h"

#include <cstdio>
#include <cstdlib>

#include "bridgeio.h"
#include "fuzz_support.h"
#include "kit_control.h"

namespace fuzzkit {

void KitHost::console_print(const QString &text) {
    ++printed;
    // Touch every character the way the window would when showing it.
    (void)text.toUtf8();
}

void KitHost::append_command_log(const QString &line) {
    ++logged;
    (void)line.toUtf8();
}

void KitHost::timer_func() {
    ++polls;
    evalpanel::DeviceState &device = evalpanel::device();
    device.echo = false;
    evalpanel::run_status_script();
    device.echo = true;
}

double KitHost::adc_read(int, int, double factor_a, int shift, double factor_b) {
    return factor_a / (1 << (shift & 15)) * factor_b;
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

void open_kit(KitHost &host) {
    enable_traces();
    evalpanel::reset_device();
    kit("reset");
    kit("clock manual");
    evalpanel::DeviceState &device = evalpanel::device();
    device.host = &host;
    device.handle = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    if (device.handle == BRIDGEIO_INVALID_HANDLE) {
        std::fprintf(stderr, "fuzz: the virtual kit did not open\n");
        std::abort();
    }
    start_firmware(device.handle);
    load_script(device.handle, device.status_script.data(), 0,
                static_cast<uint32_t>(device.status_script.size()));
    evalpanel::select_i2c_bus(0);
    evalpanel::write_pin(0, 22, 1); // VIOSYS: the chip gets its supply
    evalpanel::probe_board_sensor();
    evalpanel::switch_page(0);
    evalpanel::set_access_mode(1);
    host.printed = host.logged = host.refreshes = host.polls = 0;
}

void close_kit() {
    evalpanel::DeviceState &device = evalpanel::device();
    if (device.handle != BRIDGEIO_INVALID_HANDLE)
        usb_hid_close(device.handle);
    evalpanel::reset_device();
}

} // namespace fuzzkit
