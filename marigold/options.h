// The argument walk: options and paths, set once and read by every mode.
#ifndef MARIGOLD_OPTIONS_H
#define MARIGOLD_OPTIONS_H

extern const char* OptionTable[128];
extern const char* InputPath;
extern const char* OutputPath;
extern char** Paths; // the input path and every argument after it
extern int PathCount;
bool option_given(char letter);
bool walk_arguments(int argc, char** argv);
[[noreturn]] void usage(int code = 1, bool more = false); // more: --help's option lines

#endif
