// The regular-file rules on Windows. Names are UTF-8 (the program's and the
// library's text), turned into UTF-16 for the wide file API, so that any
// file name the user can type opens. A name that is a pipe, a device (CON,
// NUL, COM1, \\.\...) or a reparse point (a symbolic link or junction whose
// target may change under us) is refused by its kind: open() on such a name
// may wait or do anything, which a save or a script run must never do.
#include "support/regular_file.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

namespace support {

namespace {

// A name of MAX_PATH characters or more opens only in its extended form
// (\\?\C:\..., \\?\UNC\server\...), which takes the full path with
// backslashes; shorter names stay as they are.
std::wstring long_form(const std::wstring &w) {
    if (w.size() < MAX_PATH - 12 || w.rfind(L"\\\\", 0) == 0)
        return w;
    const DWORD n = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return w;
    std::wstring full(n, L'\0');
    const DWORD used = ::GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    if (used == 0 || used >= n)
        return w;
    full.resize(used);
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring widen(const char *path) {
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return long_form(w);
}

// The kind of what is open on `h` when it is no regular file on disk.
const char *kind_of_handle(HANDLE h) {
    switch (::GetFileType(h)) {
    case FILE_TYPE_DISK:
        break;
    case FILE_TYPE_PIPE:
        return "a pipe";
    case FILE_TYPE_CHAR:
        return "a device";
    default:
        return "not a regular file";
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info))
        return "not a regular file";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a directory";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a reparse point";
    return nullptr;
}

// Device names need no path to be one: "COM1", "nul.txt", "\\.\pipe\x".
bool names_device(const std::wstring &w) {
    if (w.rfind(L"\\\\.\\", 0) == 0 || w.rfind(L"\\\\?\\GLOBALROOT", 0) == 0)
        return true;
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(w.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH && std::wcsncmp(full, L"\\\\.\\", 4) == 0;
}

std::string system_text(DWORD error) {
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(error) : s;
}

void set_errno(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    default:
        errno = EIO;
    }
}

// Opens without following a reparse point; the handle, or INVALID with `why`.
HANDLE open_checked(const char *path, DWORD access, DWORD disposition, std::string *why) {
    const std::wstring w = path ? widen(path) : std::wstring();
    if (w.empty()) {
        if (why)
            *why = "the name is not valid text";
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    if (names_device(w)) {
        if (why)
            *why = "it is a device";
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = ::CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   disposition,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        if (why)
            *why = system_text(e);
        set_errno(e);
        return h;
    }
    if (const char *kind = kind_of_handle(h)) {
        if (why)
            *why = std::string("it is ") + kind;
        ::CloseHandle(h);
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

int to_fd(HANDLE h, int flags) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(h);
    return fd;
}

} // namespace

int open_regular_file(const char *path, off_t *size) {
    const HANDLE h = open_checked(path, GENERIC_READ, OPEN_EXISTING, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER bytes{};
    if (!::GetFileSizeEx(h, &bytes)) {
        ::CloseHandle(h);
        return -1;
    }
    if (size)
        *size = static_cast<off_t>(bytes.QuadPart);
    return to_fd(h, _O_RDONLY);
}

const char *non_regular_kind(const char *path) {
    const std::wstring w = path ? widen(path) : std::wstring();
    if (w.empty())
        return nullptr;
    if (names_device(w))
        return "a device";
    const DWORD attributes = ::GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return nullptr;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a directory";
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a reparse point";
    return nullptr;
}

int open_regular_for_writing(const char *path, std::string *why) {
    if (const char *kind = non_regular_kind(path)) {
        if (why)
            *why = std::string("it is ") + kind;
        return -1;
    }
    const HANDLE h = open_checked(path, GENERIC_WRITE, OPEN_ALWAYS, why);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    // Emptied only once it is known to be a regular file.
    if (!::SetEndOfFile(h)) {
        if (why)
            *why = system_text(::GetLastError());
        ::CloseHandle(h);
        return -1;
    }
    return to_fd(h, _O_WRONLY);
}

bool read_regular_file(const char *path, size_t limit, std::string *out, std::string *why) {
    if (const char *kind = non_regular_kind(path)) {
        if (why)
            *why = std::string("it is ") + kind;
        return false;
    }
    const HANDLE h = open_checked(path, GENERIC_READ, OPEN_EXISTING, why);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // Bounded while reading too: a file that grows meanwhile is cut off.
    out->clear();
    bool ok = true;
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, buffer, sizeof buffer, &n, nullptr)) {
            if (why)
                *why = system_text(::GetLastError());
            ::CloseHandle(h);
            out->clear();
            return false;
        }
        if (n == 0)
            break;
        if (out->size() + n > limit) {
            ok = false;
            break;
        }
        out->append(buffer, n);
    }
    ::CloseHandle(h);
    if (!ok) {
        out->clear();
        if (why)
            *why = "it is larger than " + std::to_string(limit) + " bytes";
    }
    return ok;
}

// Windows has no SIGPIPE: a write to a closed pipe or socket fails.
void ignore_broken_pipe() {}

void close_file(int fd) {
    ::_close(fd);
}

std::string path_from_wide(const wchar_t *path, bool *ok) {
    *ok = false;
    if (!path)
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, nullptr, 0,
                                        nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    *ok = true;
    return s;
}

int create_new_file(const char *path, int *err) {
    const HANDLE h = open_checked(path, GENERIC_WRITE, CREATE_NEW, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = errno;
        return -1;
    }
    const int fd = to_fd(h, _O_WRONLY);
    *err = fd < 0 ? errno : 0;
    return fd;
}

long read_file(int fd, void *buffer, size_t size) {
    const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return ::_read(fd, buffer, chunk);
}

size_t write_file(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const unsigned chunk = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
        const int n = ::_write(fd, p + done, chunk);
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

std::FILE *file_stream(int fd, const char *mode) {
    std::FILE *file = ::_fdopen(fd, mode);
    if (!file)
        ::_close(fd);
    return file;
}

bool file_names_are_utf8() {
    return true;
}

void write_standard_streams_as_is() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

} // namespace support
