// trace.h — `kavi trace`: a trace file decoded to text or JSON lines.
#pragma once

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec TRACE_SPEC;
// trace_command: exit codes 0 every byte decoded, 1 the file cannot be read or holds damaged or
// truncated records (those that are intact are printed all the same).
int trace_command(const Args &args);

}  // namespace kavitool
