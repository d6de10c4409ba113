// Windows has none of these the tests could make or use under wine: no
// FIFO, device or (without privileges) symbolic link at a file name, no
// file size limit, no other user to be, and a console control event reaches
// only processes sharing the tester's console.
#include "test_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>

namespace test_platform {

bool make_fifo(const std::string &) { return false; }
void release_fifo_reader(const std::string &) {}
bool is_fifo(const std::string &) { return false; }
bool make_symlink(const std::string &, const std::string &) { return false; }
std::string character_device(const std::string &) { return "NUL"; }
bool is_character_device(const std::string &) { return false; }
bool limit_file_size(long long) { return false; }
void restore_file_size() {}

bool request_stop(long long, Stop, std::string *why) {
    *why = "console control events reach only processes sharing a console";
    return false;
}

void reset_on_close(intptr_t socket) {
    const linger reset{1, 0};
    ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char *>(&reset), sizeof reset);
}

bool connect_as_other_user(unsigned short, const Wait &, std::string *, std::string *,
                           std::string *why) {
    *why = "needs a second Windows account";
    return false;
}

} // namespace test_platform
