// keys.cpp - the one owner of the keyboard's meaning: Ctrl-A, Ctrl-T and
// the keys kept while a wait watched for Ctrl-A.
#include "keys.h"
#include "platform/platform.h"
#include <deque>

static std::deque<int> kept_keys;
static bool command_keys; // -k
static bool kept_command_key; // the last key kept under the rule was Ctrl-T (-k)

void keys_start(bool command_key)
{
    command_keys = command_key;
    kept_command_key = false;
}

bool keys_command_key_on(void)
{
    return command_keys;
}

int key_poll(void)
{
    if (kept_keys.empty()) return plat_key_poll();
    int k = kept_keys.front();
    kept_keys.pop_front();
    return k;
}

void key_keep(int key)
{
    kept_keys.push_back(key);
}

bool key_makes_command(bool after_command_key, int k)
{
    return command_keys && k == COMMAND_KEY && !after_command_key;
}

bool keys_escape_came(void)
{
    for (int k; (k = plat_key_poll()) >= 0;) {
        if (k == ESCAPE_KEY) return true;
        key_keep(k);
    }
    return false;
}

void keys_watch_start(void)
{
    kept_command_key = false;
}

bool keys_escape_came_for_session(void)
{
    for (int k; (k = plat_key_poll()) >= 0;) {
        if (k == ESCAPE_KEY && !kept_command_key) return true;
        kept_command_key = key_makes_command(kept_command_key, k);
        key_keep(k);
    }
    return false;
}
