// Windows: rename refuses a target that exists, and long is 32 bits wide.
#include "platform.h"

#include <io.h>
#include <windows.h>

// The name holds the process id and a count; CREATE_NEW takes it only when
// no file has it yet.
FILE* create_temp(const char* path, std::string& name)
{
    size_t folder = 0;
    for (size_t i = 0; path[i]; i++)
        if (path[i] == '/' || path[i] == '\\' || path[i] == ':') folder = i + 1;
    std::string stem
        = std::string(path, folder) + ".marigold-" + std::to_string(GetCurrentProcessId());
    for (int n = 0; n < 100; n++) {
        name = stem + "-" + std::to_string(n);
        HANDLE handle = CreateFileA(
            name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            FILE* file = fopen(name.c_str(), "wb");
            if (!file) remove(name.c_str());
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return nullptr;
    }
    return nullptr;
}

bool replace_file(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool seek_file(FILE* file, uint64_t offset)
{
    return _fseeki64(file, (__int64)offset, SEEK_SET) == 0;
}

// The file was opened for writing, so it has no read-only attribute to copy.
bool copy_permissions(FILE*, FILE*)
{
    return true;
}

bool file_seekable(FILE* file)
{
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}
