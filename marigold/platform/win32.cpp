// Windows: rename refuses a target that exists, and long is 32 bits wide.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// errno for the reason Windows gives, as far as marigold's messages tell them apart.
static void set_errno_from(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    default:
        errno = EIO;
    }
}

// A read-only file is refused as cp refuses it; links are not followed.
bool output_target(const char* path, std::string& target)
{
    target = path;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)
        || !(attributes & FILE_ATTRIBUTE_READONLY))
        return true;
    errno = EACCES;
    return false;
}

static const char* volatile SignalPath;
static FILE* volatile SignalFile;

// Runs on a thread of its own while the main thread may still write: the
// file's handle is closed under it, so that the file can be deleted.
static BOOL WINAPI remove_and_end(DWORD event)
{
    const char* path = SignalPath;
    FILE* file = SignalFile;
    if (!path) return FALSE;
    if (file) CloseHandle((HANDLE)_get_osfhandle(_fileno(file)));
    DeleteFileA(path);
    ExitProcess(event == CTRL_C_EVENT ? 0xC000013A : 1);
}

void temp_done()
{
    SignalPath = nullptr;
    SignalFile = nullptr;
}

// The name holds the process id, the time and a count, since Windows soon
// gives a process id again; CREATE_NEW takes a name only when no file has
// it yet. A name that is still being deleted is refused as denied, so any
// refusal moves on to the next name.
FILE* create_temp(const char* path, std::string& name)
{
    static bool installed;
    if (!installed) installed = SetConsoleCtrlHandler(remove_and_end, TRUE) != 0;
    size_t folder = 0;
    for (size_t i = 0; path[i]; i++)
        if (path[i] == '/' || path[i] == '\\' || path[i] == ':') folder = i + 1;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    std::string stem = std::string(path, folder) + ".marigold-" + std::to_string(GetCurrentProcessId())
        + "-" + std::to_string(now.LowPart % 1000000);
    for (int n = 0; n < 100; n++) {
        name = stem + "-" + std::to_string(n);
        HANDLE handle = CreateFileA(
            name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
                continue;
            set_errno_from(error);
            return nullptr;
        }
        // The stream takes the handle over: the file is never opened twice.
        int fd = _open_osfhandle((intptr_t)handle, _O_WRONLY | _O_BINARY);
        FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
        if (!file) {
            if (fd >= 0)
                _close(fd);
            else
                CloseHandle(handle);
            DeleteFileA(name.c_str());
        }
        SignalFile = file;
        SignalPath = file ? name.c_str() : nullptr;
        if (!file) errno = EIO;
        return file;
    }
    errno = EACCES;
    return nullptr;
}

bool replace_file(const char* from, const char* to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    set_errno_from(GetLastError());
    return false;
}

bool seek_file(FILE* file, uint64_t offset)
{
    return _fseeki64(file, (__int64)offset, SEEK_SET) == 0;
}

bool empty_file(FILE* file)
{
    return fflush(file) == 0 && _chsize_s(_fileno(file), 0) == 0 && _fseeki64(file, 0, SEEK_SET) == 0;
}

bool file_size(FILE* file, uint64_t* size)
{
    __int64 length = _filelengthi64(_fileno(file));
    if (length < 0) return false;
    *size = (uint64_t)length;
    return true;
}

bool file_seekable(FILE* file)
{
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

void memory_at_once(void*, size_t)
{
}
