// POSIX: rename replaces the target in one step.
#include "platform.h"

#include <csignal>
#include <cstring>
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
static const int EndingSignals[] = { SIGINT, SIGTERM, SIGHUP };

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
}

// The signals wait while the file is made and named, so that none falls
// between the two.
FILE* create_temp(const char* path, std::string& name)
{
    install_handlers();
    const char* slash = strrchr(path, '/');
    name.assign(path, slash ? slash + 1 - path : 0);
    name += ".marigold-XXXXXX";
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int signal_number : EndingSignals)
        sigaddset(&ending, signal_number);
    sigprocmask(SIG_BLOCK, &ending, &before);
    int fd = mkstemp(&name[0]);
    if (fd >= 0) SignalPath = name.c_str();
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) return nullptr;
    // mkstemp's file is private; the output gets what fopen would give it.
    mode_t mask = umask(0);
    umask(mask);
    FILE* file = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        close(fd);
        remove(name.c_str());
        temp_done();
    }
    return file;
}

void temp_done()
{
    SignalPath = nullptr;
}

bool empty_file(FILE* file)
{
    return fflush(file) == 0 && ftruncate(fileno(file), 0) == 0 && fseeko(file, 0, SEEK_SET) == 0;
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
