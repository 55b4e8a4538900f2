// options.h - the option walk and the process-wide settings it gives.
#ifndef KESTREL_OPTIONS_H
#define KESTREL_OPTIONS_H

#include "line_types.h"
#include <cstdio>

extern const char* opt_table[128];
extern int com_port;
extern const char* port_name; // a port given by name with -c; com_port stays 0
extern int baud_rate;
extern FILE* log_fp;
extern const char* upload_path;
extern bool debug_flag;
// -w: wait for a port that can't be opened yet, and for one that hung up
extern bool wait_flag;
extern line_format line_fmt; // -m and -f (linectl_parse reads them), set on every open

void options_reset(void); // the settings as they are before any option
// Fills opt_table; the walk stops at the first argument that is not an option.
void parse_args(int argc, char** argv);
// What the last walk left unread, one WARNING line each ("" for none).
const char* option_warnings(void);
// The text given with an option letter, or null when the option is absent.
const char* option_text(char letter);
const char* option_skip_blanks(const char* s);
void choose_port(const char* value); // -c: com_port or port_name
bool read_rate(const char* value, long long* rate); // -b; false: no number
#endif
