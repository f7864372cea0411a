// list.h — `kavi list`: the tasks started on a node.
#pragma once

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec LIST_SPEC;
// list_command: exit codes 0 listed (also when none are started), 1 the service failed.
int list_command(const Args &args);

}  // namespace kavitool
