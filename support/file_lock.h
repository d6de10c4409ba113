// Advisory locks that tell a file a running process still uses from one
// that is left over.
#pragma once

namespace support {

// Takes an exclusive lock on the open file `fd` for as long as it stays
// open (or the process runs); false when another holds one.
bool lock_file(int fd);

// Whether another open file holds a lock on the file at `path` (a running
// process writing it). False for a file nobody locks, or that is gone.
bool file_locked(const char *path);

} // namespace support
