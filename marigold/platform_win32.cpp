// Windows: rename refuses a target that exists, and long is 32 bits wide.
#include "platform.h"

#include <io.h>
#include <windows.h>

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
