// marigold's few calls that differ between Windows and POSIX systems.
#ifndef MARIGOLD_PLATFORM_H
#define MARIGOLD_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The file that writing an output path replaces: a symbolic link's target,
// followed through every link, else the path itself. False, with errno set,
// when that file exists and the user may not write it.
bool output_target(const char* path, std::string& target);
// Creates a file of a name of its own in the folder of path, open for
// writing, with the permissions of the file at path, or else those a new
// file gets; its name goes to name, which must stay as it is until
// temp_done(). Null, with errno set, on failure. Until then
// an interrupt, termination or hang-up signal (on Windows: Ctrl-C,
// Ctrl-Break or the console closing) removes the file before the process
// ends as the signal would end it. On POSIX systems every other ending signal
// that can be caught does the same, and SIGPIPE and SIGXFSZ are ignored from
// then on, so that a write fails (EPIPE, EFBIG) and is reported as such.
FILE* create_temp(const char* path, std::string& name);
void temp_done();
// Renames from over to, replacing a file that to names. False, with errno
// set, on failure.
bool replace_file(const char* from, const char* to);
// Moves a stream to a byte offset that may lie past 2 GiB. False on failure.
bool seek_file(FILE* file, uint64_t offset);
// Empties a file open for writing and moves the stream to its start, so
// that it can be written again without closing it. False on failure.
bool empty_file(FILE* file);
// The size of an open file in bytes. False on failure.
bool file_size(FILE* file, uint64_t* size);
// Asks the system for the memory of a new allocation at once, where it
// would otherwise come a 4 KiB page at a time as it is first written; the
// whole pages inside it only. Nothing where the system has no such call.
void memory_at_once(void* start, size_t n);
// True when the stream is a file on disk that can be read again from the
// start; false for a pipe, a FIFO or a terminal.
bool file_seekable(FILE* file);

#endif
