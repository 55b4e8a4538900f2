// The argument walk: options and paths, set once and read by every mode.
#ifndef MARIGOLD_OPTIONS_H
#define MARIGOLD_OPTIONS_H

#include <vector>

extern const char* OptionTable[128];
// Every -K's text in the order given: unlike the other options, -K may be
// given many times.
extern std::vector<const char*> ChecksumOptions;
extern const char* InputPath;
extern const char* OutputPath;
extern char** Paths; // the input path and every argument after it
extern int PathCount;
bool option_given(char letter);
bool walk_arguments(int argc, char** argv);
[[noreturn]] void usage(int code = 1, bool more = false); // more: --help's option lines

#endif
