// What the program's tests do to the system around them (FIFOs, links,
// signals, other users, resource limits), on the systems that can. Where
// one cannot, the call says so and the test skips with that reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace test_platform {

// A FIFO at `path`; false where the system has no FIFOs among its files.
bool make_fifo(const std::string &path);
// Opens the FIFO for writing without waiting and closes it again: a reader
// waiting in open() goes on and reads an empty file.
void release_fifo_reader(const std::string &path);
bool is_fifo(const std::string &path);

// A symbolic link `link` to `target`; false where none can be made.
bool make_symlink(const std::string &target, const std::string &link);

// A character device the test may name as a file (one of its own where it
// may make one at `own`, else the system's null device), and whether
// `path` still is one.
std::string character_device(const std::string &own);
bool is_character_device(const std::string &path);

// Limits the size of the files this process writes (writes beyond it fail
// as on a full disk); false where that cannot be done. restore_file_size
// lifts it again.
bool limit_file_size(long long bytes);
void restore_file_size();

// How a process is asked to stop from outside (SIGINT, SIGTERM, SIGHUP).
enum class Stop { Interrupt, Terminate, HangUp };
// Asks the process `pid` to stop; false where it cannot be asked that way.
bool request_stop(long long pid, Stop stop, std::string *why);

// Closes the connection on `socket` with a reset instead of an orderly end
// (SO_LINGER with a zero time-out), once the caller closes it.
void reset_on_close(intptr_t socket);

// Connects to 127.0.0.1:`port` as another user (named in *user as the
// relay names it) and gives what the server sent before closing. `wait`
// spins the caller's events until its condition holds. false with `why`
// where the test cannot be another user.
using Wait = std::function<bool(const std::function<bool()> &)>;
bool connect_as_other_user(unsigned short port, const Wait &wait, std::string *said,
                           std::string *user, std::string *why);

} // namespace test_platform
