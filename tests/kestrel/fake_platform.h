// fake_platform.h - a scripted platform layer for the unit tests.
#ifndef FAKE_PLATFORM_H
#define FAKE_PLATFORM_H
#include "line_types.h"
#include "main.h"
#include "platform/platform.h"
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct Sent {
    long at_ms;
    unsigned char byte;
};

struct Fake {
    std::deque<unsigned char> rx;     // bytes waiting in the receive queue
    std::deque<int> keys;             // keys, one per poll that finds one
    bool keys_held = false;           // plat_keys_hold: keys stay where they are
    bool keys_typed = true;           // plat_keys_typed: keys come from a console
    std::vector<Sent> tx;             // bytes written, stamped with the clock
    std::vector<std::pair<int, long>> writes; // size of each write, bytes read before it
    long read_total = 0;
    std::vector<int> opens;           // ports opened
    std::vector<int> bauds;           // baud rate of each open
    std::vector<int> openable;        // ports whose open succeeds
    std::vector<std::string> named;   // names given to plat_port_open_name
    std::vector<std::string> openable_names;
    std::vector<plat_port_desc> list; // the detailed port list
    bool echo = false;                // peer returns what is written...
    long drop_at = -1;                // ...less the byte with this index
    unsigned char echo_mask = 0xff;   // ...with only these bits kept
    int trickle = 0;                  // peer returns one byte every N queue queries
    long hold_until = 0;              // peer returns nothing before this clock time
    std::deque<unsigned char> in_flight;
    long written = 0;
    int short_write = 0;              // writes fail
    long room = -1;                   // bytes the port still takes; -1: no limit
    long room_on_wait = 0;            // room the port makes at the next wait for it
    long out_queue = 0;               // bytes the driver holds for sending...
    long out_sent_at = 0;             // ...until this clock time
    bool hung_up = false;             // the port hung up: queries fail
    int hangups = 0;                  // times the port hangs up once its queue runs empty
    std::deque<unsigned char> rx_after; // bytes waiting once the port opens again
    int fail_opens = 0;               // opens that fail before the port can be had
    int hangup_fails = 0;             // fail_opens after each hang-up
    int closes = 0;
    int rate = 0;                     // rate the driver reports; 0: the one asked for
    std::vector<line_format> formats; // framing and flow of each open
    line_format kept = {};            // framing the driver keeps; data_bits 0: the one asked for
    bool modem = true;                // the port has modem lines
    modem_state lines = {};           // their state (dtr and rts follow the calls)
    std::vector<std::pair<std::string, long>> line_calls; // "dtr=0", "break=1"..., at the clock
    long clock = 0;
    int clock_step = 0;               // ms added at each clock read
    int queue_calls = 0;
    int waits = 0;                    // plat_wait calls
    int out_waits = 0;                // ...that also waited for room at the port
    int endless_waits = 0;            // ...that had no deadline of their own
    bool reg_ok = true;
    std::vector<std::pair<int, std::string>> reg; // type, data
    std::map<int, int> props_result;  // port -> 1/0/-1 (default 1)
    std::vector<int> sigint;          // every plat_sigint argument
    std::vector<long> sigint_out;     // stdout bytes already written at each call
    // The network port: a scripted server.
    std::vector<std::string> net_hosts; // "host:port" of each connect
    std::string net_refuse;           // a connect fails at once with this reason
    int net_slow = 0;                 // plat_net_connected calls before it is made
    std::string net_in;               // bytes the server has sent, not yet read
    std::string net_out;              // bytes the server got
    bool net_eof = false;             // the server closes once net_in is read
    int net_room = -1;                // bytes a write takes at most (-1: all)
    int net_read_max = 65536;         // bytes one read gives at most
    std::function<std::string(const std::string &)> net_server; // its answer to bytes it got
    plat_time local = {23, 59, 59, 999}; // the local time; plat_local_time adds...
    int local_step_ms = 0;            // ...this many ms after each call
};
extern Fake fake;
void fake_reset();
std::string fake_tx_string();
int run_kestrel(std::vector<std::string> args); // kestrel_main with "kestrel" and args

#endif
