// completion.h — `kavi completion bash`: the bash completion script, made from the option tables.
#pragma once

#include "tools/kavi/options.h"

namespace kavitool {

extern const CommandSpec COMPLETION_SPEC;
// completion_command: prints the script for the shell named by the operand. Exit codes: 0
// printed, 2 a usage error (a shell other than bash).
int completion_command(const Args &args);

}  // namespace kavitool
