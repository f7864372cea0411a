// list.h — `kavi list`: the tasks started on a node.
#pragma once

namespace kavitool {

// list_command: argv[0] is "list". Exit codes: 0 listed (also when none are started), 1 the
// service failed, 2 a usage error.
int list_command(int argc, char **argv);

}  // namespace kavitool
