// shutdown.h — `kavi shutdown`: ends every wait of the exit programs on a node.
#pragma once

namespace kavitool {

// shutdown_command: argv[0] is "shutdown". Exit codes: 0 done (also when nothing waited), 1 the
// service failed for at least one wait, 2 a usage error.
int shutdown_command(int argc, char **argv);

}  // namespace kavitool
