// transfer.h - files over the channel with XMODEM and YMODEM, and programs
// run on the port: attached (their standard input and output on the port)
// or released (the port closed while they run). Each call returns when it
// is over, with a status and a line that says why it failed.
#ifndef KESTREL_TRANSFER_H
#define KESTREL_TRANSFER_H

#include "codec/xmodem.h"
#include <string>
#include <vector>

struct transfer_result {
    bool ok; // done, or the program exited with 0
    bool session_over; // Ctrl-A ended a wait for the port: the session ends
    std::string reason; // why it failed ("" when ok)
    bool by_escape; // Ctrl-A ended it
};

// The port the session runs on: %p names it, and a released run reopens it.
void transfer_port(int port, int baud);
// XMODEM takes exactly one file; a name that can't be read fails at once.
transfer_result transfer_send(xm_protocol protocol, const std::vector<std::string>& files);
// XMODEM: into the file path; YMODEM: under their own names into the folder path.
transfer_result transfer_receive(xm_protocol protocol, const std::string& path);
transfer_result program_run_attached(const std::string& cmd);
transfer_result program_run_released(const std::string& cmd);
// -F: a program run before the session opens the port.
transfer_result program_run_before(const std::string& cmd);
// Opens the session's port. With -F its program runs first, and the port is
// then waited for as -w does; a program that failed (*before says why) stops
// the open when stop_on_failure is set, and Ctrl-A during it always does.
bool session_open(int port, int baud, bool stop_on_failure, transfer_result* before);
// The Ctrl-T commands s (send), g (receive), e (run attached), f (run released).
void transfer_commands_on(void);

#endif
