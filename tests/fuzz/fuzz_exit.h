// The fuzz targets run marigold's code inside one process, but its fatal
// paths end the process. Linked with -Wl,--wrap=exit, exit() jumps back to
// the target while FuzzExitArmed is set, and ends the process otherwise
// (libFuzzer itself exits through it).
#ifndef FUZZ_EXIT_H
#define FUZZ_EXIT_H

#include <csetjmp>

extern std::jmp_buf FuzzExit;
extern bool FuzzExitArmed;
extern int FuzzExitCode;

#endif
