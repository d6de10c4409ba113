// The virtual kit's control language for tests that run the program's code on
// the kit: one line at a time, and the chip's registers and the adapter's pins
// behind the program's back.
#pragma once

#include "kit_control.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

// One control line, which must succeed; its answer without the closing "ok".
inline std::string kit(const std::string &line) {
    std::vector<char> reply(1 << 16);
    EXPECT_EQ(kit_control(line.c_str(), reply.data(), reply.size()), 0)
        << line << ": " << reply.data();
    std::string text = reply.data();
    const size_t ok = text.rfind("ok\n");
    return ok == std::string::npos ? text : text.substr(0, ok);
}

inline int chip_register(int page, int address) {
    char line[32];
    std::snprintf(line, sizeof line, "reg %x %02x", page, address);
    unsigned value = 0;
    EXPECT_EQ(std::sscanf(kit(line).c_str(), "0x%x", &value), 1) << line;
    return static_cast<int>(value);
}

inline void set_chip_register(int page, int address, int value) {
    char line[32];
    std::snprintf(line, sizeof line, "reg %x %02x %02x", page, address, value);
    kit(line);
}

inline int kit_pin(int group, int pin) {
    return std::stoi(kit("pin " + std::to_string(group) + " " + std::to_string(pin)));
}

// A count from the kit's statistics since its reset: "total", "0xB1", ...
inline long long kit_count(const std::string &key) {
    const std::string stats = kit("stats");
    const size_t at = stats.find(key + ' ');
    return at == std::string::npos ? 0 : std::stoll(stats.substr(at + key.size() + 1));
}
