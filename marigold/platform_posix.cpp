// POSIX: rename replaces the target in one step.
#include "platform.h"

#include <sys/stat.h>
#include <sys/types.h>

bool replace_file(const char* from, const char* to)
{
    return rename(from, to) == 0;
}

bool seek_file(FILE* file, uint64_t offset)
{
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
}

bool copy_permissions(FILE* from, FILE* to)
{
    struct stat st;
    return fstat(fileno(from), &st) == 0 && fchmod(fileno(to), st.st_mode & 07777) == 0;
}

bool file_seekable(FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}
