// Reads the virtual kit's exchange log: one "<ms> > <64 hex bytes>" line per
// request and one "<ms> < <64 hex bytes>" (or "(lost)") line per reply.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kit_control.h"

namespace evalpanel::test {

struct Exchange {
    std::array<uint8_t, 64> request{};
    std::array<uint8_t, 64> reply{};
    bool answered = false;
};

class KitLog {
  public:
    // Starts recording from an empty log.
    void start() {
        command("log clear");
        command("log on");
    }

    // The exchanges recorded since the last start or take; clears the log.
    std::vector<Exchange> take() {
        const std::string text = command("log");
        command("log clear");
        std::vector<Exchange> out;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            const auto mark = line.find(" > ");
            const auto back = line.find(" < ");
            if (mark != std::string::npos) {
                out.emplace_back();
                parse_bytes(line.substr(mark + 3), &out.back().request);
            } else if (back != std::string::npos && !out.empty()) {
                const std::string bytes = line.substr(back + 3);
                out.back().answered = bytes != "(lost)";
                if (out.back().answered)
                    parse_bytes(bytes, &out.back().reply);
            }
        }
        return out;
    }

  private:
    static std::string command(const char *line) {
        std::vector<char> reply(1 << 16);
        EXPECT_EQ(kit_control(line, reply.data(), reply.size()), 0) << line << ": " << reply.data();
        return reply.data();
    }
    static void parse_bytes(const std::string &text, std::array<uint8_t, 64> *bytes) {
        std::istringstream in(text);
        std::string byte;
        for (std::size_t i = 0; i < bytes->size() && in >> byte; ++i)
            (*bytes)[i] = static_cast<uint8_t>(std::strtoul(byte.c_str(), nullptr, 16));
    }
};

} // namespace evalpanel::test
