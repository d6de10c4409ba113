#include "machine.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

namespace bench {

namespace {

// The value of the first "key: value" (or key=value) line starting with key.
std::string field(const char *path, const std::string &key, char separator) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        const size_t at = line.find(separator);
        if (at == std::string::npos)
            continue;
        std::string value = line.substr(at + 1);
        const size_t first = value.find_first_not_of(" \t\"");
        const size_t last = value.find_last_not_of(" \t\"");
        return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    }
    return {};
}

} // namespace

std::string machine_description() {
    std::string cpu = field("/proc/cpuinfo", "model name", ':');
    if (cpu.empty())
        cpu = "unknown CPU";
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::string os = field("/etc/os-release", "PRETTY_NAME", '=');
    utsname u{};
    if (uname(&u) == 0)
        os += std::string(os.empty() ? "" : ", ") + u.sysname + " " + u.release;
    return cpu + ", " + std::to_string(cores) + " cores, " + os;
}

} // namespace bench
