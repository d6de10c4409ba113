// Console command lines through the interpreter against the virtual kit; lines
// that begin with "%" are kit control lines, so commands also meet a misbehaving
// kit. Not run: i2c_test (seconds per line; the interpreter's unit tests cover it).
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include "console/command_interpreter.h"
#include "kit_session.h"

namespace {

constexpr int kMaxLines = 32;

// Kit commands that change the adapter or chip (reset and clock: the harness's).
constexpr const char *kKitCommands[] = {
    "unplug", "plug",      "nack",    "lose",       "refuse",   "flag",       "load",    "pin",
    "reg",    "boardtemp", "dietemp", "multiphase", "firmware", "bootloader", "latency", "advance",
};

bool kit_command(const std::string &line) {
    const std::string word = line.substr(0, line.find(' '));
    return std::any_of(std::begin(kKitCommands), std::end(kKitCommands),
                       [&](const char *command) { return word == command; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096)
        return -1;
    fuzzkit::KitHost host;
    fuzzkit::NullDocument document;
    fuzzkit::KitSession kit;
    console::CommandInterpreter interpreter(host, kit.session, kit.workbench, document);

    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    for (int n = 0; n < kMaxLines && start <= input.size(); ++n) {
        const size_t end = std::min(input.find('\n', start), input.size());
        const std::string line = input.substr(start, end - start);
        start = end + 1;
        if (line[0] == '%') {
            if (kit_command(line.substr(1)))
                fuzzkit::kit(line.substr(1));
            continue;
        }
        if (line.compare(0, 8, "i2c_test") == 0)
            continue;
        const int refreshes = host.refreshes;
        interpreter.parse_cmd(line.c_str());
        // Every line ends with one refresh of the status bar and controls.
        if (host.refreshes != refreshes + 1)
            fuzzkit::fail("parse_cmd refreshed " + std::to_string(host.refreshes - refreshes) + " times", line);
    }
    return 0;
}
