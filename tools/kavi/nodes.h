// nodes.h — `kavi nodes`: the nodes seen through the distributed transport.
#pragma once

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec NODES_SPEC;
// nodes_command: exit codes 0 listed (also when none answers), 1 the transport is not configured
// or failed, 2 a usage error.
int nodes_command(const Args &args);

}  // namespace kavitool
