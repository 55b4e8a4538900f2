// linectl.h - the line under the user's control: -m and -f, the -r sequence
// and the -k command key, over the RS_ operations.
#ifndef KESTREL_LINECTL_H
#define KESTREL_LINECTL_H

#include "line_types.h"
#include <string>

// From linectl_key: no byte to send, and the session's end.
enum { KEY_NONE = -1, KEY_END = -3 };

bool linectl_parse(void); // -m, -f, -r, -k; // false: a message names what is bad
// A fresh open (DTR and RTS are up): warns when the port kept another
// framing than got (null: unknown), runs the -r sequence; false when Ctrl-A
// ended it. linectl_parse hands it to the channel.
bool linectl_open(const line_format* got);
int linectl_key(int key); // a typed key: the byte to send, KEY_NONE or KEY_END
bool linectl_command_pending(void); // Ctrl-T came: the next key is a command
bool linectl_acts_alone(int key); // after Ctrl-T: a command, not a byte to send
// One -r step, as a script's line step: 'd' DTR or 'r' RTS (0 or 1), 'b' a break, 'w' a wait
// More Ctrl-T commands, from the layer above: their letters, their lines in
// the list, and what runs them (false: Ctrl-A ended the session).
void linectl_more_commands(const char* letters, const char* help, bool (*run)(int key));
bool linectl_parse_step(const std::string& word, char* what, int* value);
// Runs one such step on the open port, with -r's messages; false when Ctrl-A ended it.
bool linectl_step(char what, int value);
extern const char LINE_STEP_HELP[]; // what a bad step should be, in -r's words

#endif
