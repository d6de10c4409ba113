// How the program reads the status script's 60-byte result block: the texts
// of the buck modes, the multiphase status, the load current and the board
// temperature, decoded independently of the kit so that the tests check the
// kit against the reader rather than against itself.
#pragma once

#include <cstdint>
#include <cstdio>
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

    std::string multiphase(int buck) const {
        static const char *const table[10][6] = {
            {"M3", "S0", "S0", "M2", "S3", "1"},  {"1", "1", "1", "1", "1", "1"},
            {"M2", "S0", "1", "1", "1", "1"},     {"M3", "S0", "S0", "1", "1", "1"},
            {"M4", "S0", "S0", "S0", "1", "1"},   {"M5", "S0", "S0", "S0", "S0", "1"},
            {"M6", "S0", "S0", "S0", "S0", "S0"}, {"M3", "S0", "S0", "M3", "S3", "S3"},
            {"M2", "S0", "1", "M2", "S3", "1"},   {"M4", "S0", "S0", "M2", "S3", "S0"},
        };
        int config = b[0x0D] & 0x0F;
        if (config >= 10)
            config = 0;
        const std::string kind = table[config][buck];
        if (kind == "S0")
            return "Slave to Buck0";
        if (kind == "S3")
            return "Slave to Buck3";
        if (kind == "1")
            return "Single";
        const int n = kind[1] - '0';
        const int s = state(buck);
        const int active = s >= 8 && s <= n + 6 ? s - 6 : 1;
        char text[40];
        std::snprintf(text, sizeof text, "Master; %d/%d Phases Active", active, n);
        return text;
    }

    int current_source() const { return b[0x19] & 7; }
    int current_ma() const { return (((b[0x19] << 4) & 0x700) | b[0x0E]) * 10; }

    double board_celsius() const {
        int raw = (b[0x23] << 4) | (b[0x24] >> 4);
        if (raw > 0x7FF)
            raw -= 0x1000;
        return raw * 0.0625;
    }

    unsigned adc(int offset) const { return b[offset] | b[offset + 1] << 8; }
    int pin(int index) const { return b[0x1A + index]; } // A18, A22, A23, A24, A25
};

} // namespace kit_test
