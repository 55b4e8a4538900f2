// linectl.h - the line under the user's control: -m and -f, the -r sequence
// and the -k command key, over the RS_ operations.
#ifndef KESTREL_LINECTL_H
#define KESTREL_LINECTL_H

#include "line_types.h"

// From linectl_key: no byte to send, and the session's end.
enum { KEY_NONE = -1, KEY_END = -3 };

extern line_format line_fmt; // -m and -f, set on every open
bool linectl_parse(void); // -m, -f, -r, -k; // false: a message names what is bad
void linectl_start(void); // a fresh open: DTR and RTS are up
void linectl_check(const line_format* got); // warns when the port kept another framing
bool linectl_run(void); // runs the -r sequence; false when Ctrl-A ended it
int linectl_key(int key); // a typed key: the byte to send, KEY_NONE or KEY_END
bool linectl_command_pending(void); // Ctrl-T came: the next key is a command
bool linectl_acts_alone(int key); // after Ctrl-T: a command, not a byte to send

#endif
