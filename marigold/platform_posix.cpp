// POSIX: rename replaces the target in one step.
#include "platform.h"

#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

FILE* create_temp(const char* path, std::string& name)
{
    const char* slash = strrchr(path, '/');
    name.assign(path, slash ? slash + 1 - path : 0);
    name += ".marigold-XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd < 0) return nullptr;
    // mkstemp's file is private; the output gets what fopen would give it.
    mode_t mask = umask(0);
    umask(mask);
    FILE* file = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        close(fd);
        remove(name.c_str());
    }
    return file;
}

bool replace_file(const char* from, const char* to)
{
    return rename(from, to) == 0;
}

bool seek_file(FILE* file, uint64_t offset)
{
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
}

// The owner is kept where we may set it (as root, or a group of ours); a
// user who may not give the file away keeps it. The mode comes after the
// owner, because a change of owner clears the set-id bits.
bool copy_permissions(FILE* from, FILE* to)
{
    struct stat st;
    if (fstat(fileno(from), &st) != 0) return false;
    if (fchown(fileno(to), st.st_uid, st.st_gid) != 0) (void)!fchown(fileno(to), (uid_t)-1, st.st_gid);
    return fchmod(fileno(to), st.st_mode & 07777) == 0;
}

bool file_seekable(FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}
