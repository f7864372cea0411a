// subcommands.h — the table of kavi's subcommands, which the dispatcher, the help overview and
// the shell completion all read.
#pragma once

#include <span>

#include "tools/kavi/options.h"

namespace kavitool {

struct Subcommand {
    const CommandSpec *spec;
    int (*run)(const Args &args);  // the process's exit code
};

extern const std::span<const Subcommand> ALL_SUBCOMMANDS;

}  // namespace kavitool
