// POSIX: rename replaces the target in one step.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

bool replace_file(const char* from, const char* to)
{
    return rename(from, to) == 0;
}

bool seek_file(FILE* file, uint64_t offset)
{
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
}

static const char* volatile SignalPath;
// Every signal that ends the process and can be caught. SIGPIPE and SIGXFSZ
// are not among them: they are ignored, so that the write fails instead.
static const int EndingSignals[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2,
    SIGXCPU, SIGVTALRM, SIGPROF, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP };

static void remove_and_end(int signal_number)
{
    const char* path = SignalPath;
    if (path) unlink(path);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// A signal that was ignored when the program started (nohup) stays ignored.
static void install_handlers()
{
    static bool installed;
    if (installed) return;
    installed = true;
    for (int signal_number : EndingSignals) {
        struct sigaction action, old;
        memset(&action, 0, sizeof action);
        action.sa_handler = remove_and_end;
        sigemptyset(&action.sa_mask);
        if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

// The folder part of path, with its last slash; empty for the current one.
static std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool output_target(const char* path, std::string& target)
{
    target = path;
    for (int links = 0; links < 40; links++) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0) return errno == ENOENT;
        if (!S_ISLNK(st.st_mode)) return S_ISDIR(st.st_mode) || access(target.c_str(), W_OK) == 0;
        char link[4096];
        ssize_t n = readlink(target.c_str(), link, sizeof link - 1);
        if (n < 0) return false;
        link[n] = 0;
        target = link[0] == '/' ? std::string(link) : folder_of(target) + link;
    }
    errno = ELOOP;
    return false;
}

// The signals wait while the file is made and named, so that none falls
// between the two.
FILE* create_temp(const char* path, std::string& name)
{
    install_handlers();
    name = folder_of(path) + ".marigold-XXXXXX";
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int signal_number : EndingSignals)
        sigaddset(&ending, signal_number);
    sigprocmask(SIG_BLOCK, &ending, &before);
    int fd = mkstemp(&name[0]);
    if (fd >= 0) SignalPath = name.c_str();
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) return nullptr;
    // mkstemp's file is private: a file it replaces lends it its mode (and,
    // where allowed, its owner), else it gets what fopen would give it.
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0666 & ~mask;
    struct stat old;
    if (stat(path, &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 0777;
        if (fchown(fd, old.st_uid, old.st_gid) != 0) { } // not the owner: the file becomes the user's
    }
    FILE* file = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        int error = errno;
        close(fd);
        remove(name.c_str());
        temp_done();
        errno = error;
    }
    return file;
}

void temp_done()
{
    SignalPath = nullptr;
}

// A file that holds nothing yet is not truncated: on ext4 that alone would
// make its close wait until all that is written after is allocated.
bool empty_file(FILE* file)
{
    struct stat st;
    if (fflush(file) != 0 || fstat(fileno(file), &st) != 0) return false;
    return (st.st_size == 0 || ftruncate(fileno(file), 0) == 0) && fseeko(file, 0, SEEK_SET) == 0;
}

bool file_size(FILE* file, uint64_t* size)
{
    struct stat st;
    if (fstat(fileno(file), &st) != 0) return false;
    *size = (uint64_t)st.st_size;
    return true;
}

bool file_seekable(FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

void memory_at_once(void* start, size_t n)
{
#ifdef MADV_POPULATE_WRITE
    uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
    uintptr_t end = ((uintptr_t)start + n) & ~(page - 1);
    if (end > first) madvise((void*)first, end - first, MADV_POPULATE_WRITE); // older kernels refuse it
#else
    (void)start;
    (void)n;
#endif
}
