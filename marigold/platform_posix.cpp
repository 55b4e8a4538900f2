// POSIX: rename replaces the target in one step.
#include "platform.h"

#include <sys/types.h>

bool replace_file(const char* from, const char* to)
{
    return rename(from, to) == 0;
}

bool seek_file(FILE* file, uint64_t offset)
{
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
}
