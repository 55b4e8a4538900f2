// Arbitrary bytes as a record file through -x. When it converts to records
// (the first byte picks the kind), those records must convert to the same
// .bin as the input does straight away; a refused conversion leaves no file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_exit.h"
#include "fuzz_files.h"
#include "convert.h"
#include "options.h"
#include "output.h"

// The files live in a folder of their own, where a temporary file left
// behind would show.
static const std::string Folder = "fuzz_convert_" + std::to_string(getpid());

static std::string file_name(const char* name)
{
    return Folder + "/" + name;
}

static const char* const Kinds[]
    = { "mid.hex", "mid.s19", "mid.s28", "mid.s37", "mid.srec", "mid.ihx" };
static std::string Files[] = { file_name("in"), file_name("direct.bin"), file_name("round.bin") };

static void remove_files()
{
    for (const std::string& path : Files)
        remove(path.c_str());
    for (const char* kind : Kinds)
        remove(file_name(kind).c_str());
    rmdir(Folder.c_str());
}

static bool temporary_left()
{
    DIR* dir = opendir(Folder.c_str());
    bool left = false;
    while (dirent* entry = readdir(dir))
        left = left || std::string(entry->d_name).compare(0, 10, ".marigold-") == 0;
    closedir(dir);
    return left;
}

// -x from one file to another; the output is gone when it is refused.
static int convert(const std::string& in, const std::string& out)
{
    static char* paths[2];
    paths[0] = (char*)in.c_str();
    paths[1] = (char*)out.c_str();
    Paths = paths;
    PathCount = 2;
    remove(out.c_str());
    int rc = 1;
    if (setjmp(FuzzExit) == 0) {
        FuzzExitArmed = true;
        rc = convert_file();
        FuzzExitArmed = false;
    } else {
        abort(); // readable input, writable output: no fatal path
    }
    if (temporary_left() || (rc != 0 && read_all(out) != "(none)")) abort();
    return rc;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FILE* null_out = fopen("/dev/null", "wb");
    static int made = mkdir(Folder.c_str(), 0700);
    static int registered = atexit(remove_files);
    (void)made;
    (void)registered;
    if (size == 0) return 0;
    out_set_stream(null_out);
    BinLimit = 1 << 20; // images stay small enough to fuzz fast
    FILE* f = fopen(Files[0].c_str(), "wb");
    fwrite(data + 1, 1, size - 1, f);
    fclose(f);
    std::string mid = file_name(Kinds[data[0] % 6]);
    if (convert(Files[0], mid) != 0) return 0;
    int direct = convert(Files[0], Files[1]);
    int round = convert(mid, Files[2]);
    if (direct != round) abort();
    if (direct == 0 && read_all(Files[1]) != read_all(Files[2])) abort();
    return 0;
}
