// trace.h — `kavi trace`: a trace file decoded to text or JSON lines.
#pragma once

namespace kavitool {

// trace_command: argv[0] is "trace". Exit codes: 0 every byte decoded, 1 the file cannot be read
// or holds damaged or truncated records (those that are intact are printed all the same), 2 a
// usage error.
int trace_command(int argc, char **argv);

}  // namespace kavitool
