// How the program reads the status script's 60-byte result block: the texts
// of the buck modes and the board temperature, decoded independently of the
// kit so that the tests check the kit against the reader rather than against
// itself.
#pragma once

#include <cstdint>
#include <string>

namespace kit_test {

struct StatusBlock {
    uint8_t b[60] = {};

    int state(int buck) const { return b[1 + 2 * buck] & 0x0F; }

    std::string mode(int buck) const {
        const int s = state(buck);
        if (s == 0)
            return "Disabled";
        if (s == 3)
            return "Soft Start-Up";
        if (s == 4 || (s >= 8 && s <= 12) || s == 14)
            return "PWM";
        if (s >= 5 && s <= 7)
            return (b[2 + 2 * buck] & 0x04) ? "ECO" : "PFM";
        if (s == 13)
            return "Sleeping";
        if (s == 15)
            return "Test Mode";
        return "(unchanged)";
    }

    double board_celsius() const {
        int raw = (b[0x23] << 4) | (b[0x24] >> 4);
        if (raw > 0x7FF)
            raw -= 0x1000;
        return raw * 0.0625;
    }

    int pin(int index) const { return b[0x1A + index]; } // A18, A22, A23, A24, A25
};

} // namespace kit_test
