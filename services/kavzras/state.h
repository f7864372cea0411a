// state.h — the process-wide state of the trace and error-log service: set by VULZINITTRACE,
// read by every trace record and error-log line.
#pragma once

#include <cstddef>
#include <shared_mutex>

#include "platform/platform.h"
#include "services/kavzras/kavzras.h"
#include "services/kavzras/record.h"

namespace kavz {

struct State {
    // Shared while a record or line is built and written, exclusive while VULZINITTRACE
    // replaces the settings: a trace file is never closed under a writer.
    std::shared_mutex lock;
    plat::AppendFile *trace = nullptr;  // null while tracing is off
    char component[COMPONENT_MAX] = {};
    size_t component_size = 0;
    VULZ_TRACE_CONTROL control = {};  // what the callers' control pointers point at
};

// state: never destroyed, so that a thread still tracing while the process exits finds it.
State &state();

}  // namespace kavz
