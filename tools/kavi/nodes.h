// nodes.h — `kavi nodes`: the nodes seen through the distributed transport.
#pragma once

namespace kavitool {

// nodes_command: argv[0] is "nodes". Exit codes: 0 listed (also when none answers), 1 the
// transport is not configured or failed, 2 a usage error.
int nodes_command(int argc, char **argv);

}  // namespace kavitool
