// Opening a file that must be a regular file, without ever waiting.
#pragma once

#include <sys/types.h>

namespace support {

// Opens `path` for reading only if it is a regular file: open() on a FIFO
// waits for a writer, and on a device it may do anything. The name is
// checked before the open and the descriptor after it, since the name may be
// replaced in between; O_NONBLOCK keeps that open from waiting (it changes
// nothing for a regular file). Returns the descriptor (close-on-exec), or -1
// when it is no regular file or does not open. Stores the file's size in
// *size when `size` is not null.
int open_regular_file(const char *path, off_t *size = nullptr);

} // namespace support
