// ping.h — `kavi ping` and `kavi stats`: one exit's answer to an operator's query.
#pragma once

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec PING_SPEC;
extern const CommandSpec STATS_SPEC;
// ping_command, stats_command: exit codes 0 the exit answered, 1 the service failed, 3 the exit
// is not started on the node, 4 no answer within the time-out.
int ping_command(const Args &args);
int stats_command(const Args &args);

}  // namespace kavitool
