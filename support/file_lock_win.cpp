// File locks on Windows: a byte-range lock far beyond any log's end, so
// that it keeps no reader (an editor, a viewer) from the file's text.
#include "support/file_lock.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <io.h>

#include <string>

namespace support {

namespace {

constexpr DWORD kLockOffsetHigh = 0x7fffffff;

bool lock(HANDLE h, DWORD flags) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    return ::LockFileEx(h, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

std::wstring widen(const char *path) {
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

} // namespace

bool lock_file(int fd) {
    const auto h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    return h != INVALID_HANDLE_VALUE && lock(h, LOCKFILE_EXCLUSIVE_LOCK);
}

bool file_locked(const char *path) {
    const std::wstring w = widen(path);
    if (w.empty())
        return false;
    const HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool held = !lock(h, 0);
    ::CloseHandle(h);
    return held;
}

} // namespace support
