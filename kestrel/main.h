// main.h - kestrel as a function of its command line, for the entry and the tests.
#ifndef KESTREL_MAIN_H
#define KESTREL_MAIN_H

// Runs the mode the options choose; returns the exit code.
int kestrel_main(int argc, char** argv);

#endif
