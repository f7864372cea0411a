// log.h — `kavi log`: an error-log file decoded, each entry as its sentence or as JSON.
#pragma once

#include <string>
#include <vector>

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec LOG_SPEC;
// log_command: exit codes 0 read, 1 the file cannot be read.
int log_command(const Args &args);

// One error-log line taken apart; ok is false for a line that is not an entry.
struct LogEntry {
    bool ok = false;
    std::string time, component, function, msg;
    unsigned long pid = 0, tid = 0, site = 0, code = 0, reason = 0;
    std::vector<std::string> items;  // as written: "LENGTH:HEX", "LENGTH,cut:HEX", ...
};
LogEntry parse_log_line(const std::string &line);

}  // namespace kavitool
