// What an adapter name means on Windows: a COM port ("COM3", "\\.\COM12"),
// a HID device path ("\\?\hid#vid_1209&pid_5120#..."), or something else
// that is refused. Windows paths are compared case-insensitively, so the
// resolved form is lower case.
#include "port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cctype>
#include <cstring>

namespace bridgeio {

namespace {

std::string lower(const char *s) {
    std::string out;
    for (; *s; ++s)
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
    return out;
}

// "com" and one to three digits, after an optional "\\.\".
bool is_com_port(const std::string &name) {
    const std::string bare = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    if (bare.size() < 4 || bare.size() > 6 || bare.compare(0, 3, "com") != 0)
        return false;
    for (size_t i = 3; i < bare.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(bare[i])))
            return false;
    return bare[3] != '0';
}

} // namespace

NodeInfo classify_node(const char *path) {
    NodeInfo info;
    info.path = path ? path : "";
    if (!path || !*path)
        return info;
    const std::string name = lower(path);
    if (is_com_port(name)) {
        info.kind = NodeKind::Terminal;
        return info;
    }
    if (name.rfind("\\\\?\\hid#", 0) == 0) {
        info.kind = NodeKind::Hidraw;
        info.path = name;
        return info;
    }
    if (name.rfind("\\\\.\\", 0) == 0) {
        info.kind = NodeKind::Other;
        info.what = "a device that is not an adapter";
        return info;
    }
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return info;
    info.kind = NodeKind::Other;
    info.what = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "a directory" : "a regular file";
    return info;
}

// Windows gives a device its access rights before it lists it.
bool node_just_changed(const char *) {
    return false;
}

} // namespace bridgeio
