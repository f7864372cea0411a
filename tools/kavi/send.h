// send.h — `kavi send`: one command to an exit, and its reply printed.
#pragma once

namespace kavitool {

// send_command: argv[0] is "send", then the subcommand's arguments. Returns the process's exit
// code: 0 the reply's status is 0, 1 another status, 2 a usage error, 3 the exit is not
// reachable, 4 no reply within the time-out.
int send_command(int argc, char **argv);

}  // namespace kavitool
