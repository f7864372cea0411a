// send.h — `kavi send`: one command to an exit, and its reply printed.
#pragma once

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec SEND_SPEC;
// send_command: exit codes 0 the reply's status is 0, 1 another status, 3 the exit is not
// reachable, 4 no reply within the time-out.
int send_command(const Args &args);

}  // namespace kavitool
