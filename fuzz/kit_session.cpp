#include "kit_session.h"

#include <cstdio>
#include <cstdlib>

#include "bridgeio.h"
#include "chip/rx5120.h"
#include "kit_control.h"

namespace fuzzkit {

void KitHost::sleep_ms(int ms) {
    clock_ms_ += ms;
    kit("advance " + std::to_string(ms < 0 ? 0 : ms));
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

} // namespace fuzzkit
