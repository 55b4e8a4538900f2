// script_run.h - the script mode of -S and -E: the steps run over the channel
// as the terminal runs, and the run's exit code says how they went.
#ifndef KESTREL_SCRIPT_RUN_H
#define KESTREL_SCRIPT_RUN_H

// The exit codes a script adds to those of the terminal: an expect timed
// out, a fail matched, a transfer or a program failed.
enum { SCRIPT_TIMED_OUT = 3, SCRIPT_FAILED = 4, SCRIPT_STEP_FAILED = 5 };

// -S or -E given: the run is a script.
bool script_given(void);
// Reads and parses the script, before any port is opened; false: one line
// on stderr said what is wrong.
bool script_load(void);
// Runs the loaded script on the port; the exit code.
int ScriptMode(int port, int baud);

#endif
