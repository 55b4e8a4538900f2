// Windows: rename refuses a target that exists, and long is 32 bits wide.
#include "platform.h"

#include <windows.h>

bool replace_file(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool seek_file(FILE* file, uint64_t offset)
{
    return _fseeki64(file, (__int64)offset, SEEK_SET) == 0;
}
