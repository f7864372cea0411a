// shutdown.h — `kavi shutdown`: every wait of the exit programs on a node ended.
#pragma once

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec SHUTDOWN_SPEC;
// shutdown_command: exit codes 0 done (also when nothing waited), 1 the service failed.
int shutdown_command(const Args &args);

}  // namespace kavitool
