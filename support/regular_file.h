// Opening a file that must be a regular file, without ever waiting. On
// Windows the names are UTF-8 and the descriptors the C runtime's; pipes,
// devices and reparse points count as "not a regular file" there.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace support {

// Opens `path` for reading only if it is a regular file: open() on a FIFO
// waits for a writer, and on a device it may do anything. The name is
// checked before the open and the descriptor after it, since the name may be
// replaced in between; O_NONBLOCK keeps that open from waiting (it changes
// nothing for a regular file). Returns the descriptor (close-on-exec), or -1
// when it is no regular file or does not open. Stores the file's size in
// *size when `size` is not null.
int open_regular_file(const char *path, off_t *size = nullptr);

// What stands at `path` (symbolic links followed) when it is there and is
// not a regular file: "a directory", "a FIFO", "a character device", "a
// block device", "a socket" or "not a regular file"; nullptr for a regular
// file or a name where nothing is (yet).
const char *non_regular_kind(const char *path);

// Opens `path` for writing, creating it (mode 0666 less the umask) when it
// is not there and emptying it when it is, but only if it is or becomes a
// regular file: anything else is refused before it is opened, and checked
// again on the descriptor. Never waits (O_NONBLOCK, cleared again once the
// descriptor is known to be a regular file's). The descriptor
// (close-on-exec), or -1; `why` then says why ("it is a FIFO", or the
// system's text).
int open_regular_for_writing(const char *path, std::string *why = nullptr);

// Reads a whole regular file of at most `limit` bytes. false, with `why`
// ("it is a directory", "larger than N bytes", the system's text) when it
// is none, cannot be read or is larger.
bool read_regular_file(const char *path, size_t limit, std::string *out, std::string *why);

// Writes are to files and sockets that may go away: a broken pipe must be
// an error code, never the signal that ends the process.
void ignore_broken_pipe();

// Standard output and error carry the program's text as it is, lines ending
// in "\n" as on Linux (Windows' text mode would make them "\r\n").
void write_standard_streams_as_is();

// Closes a descriptor that the functions above returned.
void close_file(int fd);

// Creates `path` for writing only when nothing stands there yet (a link or
// a FIFO of that name is never opened). The descriptor (close-on-exec), or
// -1 with *err the errno value (EEXIST when the name is taken).
int create_new_file(const char *path, int *err);

// Reads at most `size` bytes from `fd`: the count, 0 at the end, -1 on an
// error (errno says which).
long read_file(int fd, void *buffer, size_t size);

// Writes all `size` bytes to `fd` unless an error stops it (interrupted
// writes are resumed): the count written; errno says why when it is less.
size_t write_file(int fd, const void *data, size_t size);

// A stdio stream reading or writing the descriptor, which it then owns;
// nullptr, with `fd` closed, when there is none.
std::FILE *file_stream(int fd, const char *mode);

// A wide-character file name as the narrow name the functions above take:
// UTF-8 on Windows (where wchar_t text is UTF-16 and the narrow names are
// UTF-8), the locale's multibyte encoding elsewhere. *ok is false when the
// name has no such form.
std::string path_from_wide(const wchar_t *path, bool *ok);

// Whether the narrow names above are UTF-8 (Windows) rather than in the
// locale's encoding.
bool file_names_are_utf8();

} // namespace support
