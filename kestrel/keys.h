// keys.h - the keyboard as the channel and the modes see it: Ctrl-A ends a
// session, Ctrl-T (under -k) makes the next key a command, and keys read
// while a wait watched for Ctrl-A are kept for later, in order.
#ifndef KESTREL_KEYS_H
#define KESTREL_KEYS_H

#define ESCAPE_KEY 1 // Ctrl-A
#define COMMAND_KEY 0x14 // Ctrl-T

// -k: Ctrl-T is a command key for the session to come.
void keys_start(bool command_keys);
bool keys_command_key_on(void);
// The next key: those kept first, then the console's; -1 when none waits.
int key_poll(void);
// Keys read while a wait watched for Ctrl-A: key_poll gives them first.
void key_keep(int key);
// The Ctrl-T rule: given whether the key before k was a Ctrl-T that makes k
// a command, whether the key after k is one.
bool key_makes_command(bool after_command_key, int k);
// A wait's look at the keyboard: true when Ctrl-A (or an interrupt where
// keys come from a pipe) came; every other key is kept for later.
bool keys_escape_came(void);
// The same under the Ctrl-T rule: Ctrl-T Ctrl-A is kept too (it sends 0x01
// once the wait is over). The rule's state lasts from one wait to the next,
// from keys_watch_start on.
void keys_watch_start(void);
bool keys_escape_came_for_session(void);

#endif
