// trace.h — the exit library's trace control pointer and the one macro that applies the trace
// rule, so a disabled trace costs a load and a branch and builds nothing.
#pragma once

#include "exit/exit_table.h"
#include "exit/log_sentences.h"
#include "services/kavzras/kavzras.h"

namespace kavi {

// Filled by the library's load hook (VULZINITTRACE); null while tracing is off.
extern VULZ_TRACE_CONTROL *trace_control;

}  // namespace kavi

// KAVI_TRACE(kind, function, line, count, pairs...): kind is VULZ_KIND_ENTRY, _EXIT or _DATA;
// the pairs are (const void *, uint32_t length). Arguments are evaluated only when tracing.
#define KAVI_TRACE(kind, function, line, ...)                                 \
    do {                                                                      \
        if (KAVZ_TRACING(::kavi::trace_control, ::kavi::trace_mask_of(kind))) \
            VULZTRACE((function), (line), (kind), VULZ_LEVEL, __VA_ARGS__);   \
    } while (0)

// KAVI_LOG(function, code, reason, line, count, pairs...): an error-log entry, always written,
// ended by the sentence that log_sentences.cpp keeps for the call site `line`.
#define KAVI_LOG(function, code, reason, line, ...) \
    ::kavi::log_error((function), (code), (reason), (line), __VA_ARGS__)

// KAVI_ITEM(x): the item pair of the object x itself, for KAVI_TRACE and KAVI_LOG.
#define KAVI_ITEM(x) &(x), static_cast<uint32_t>(sizeof(x))

namespace kavi {
constexpr uint32_t trace_mask_of(uint32_t kind) {
    return kind == VULZ_KIND_ENTRY  ? VULZ_MASK_ENTRY
           : kind == VULZ_KIND_EXIT ? VULZ_MASK_EXIT
                                    : VULZ_MASK_DATA;
}

// TracedName: what the entry and exit records of a call show of its exit name, up to 8 readable
// characters; taken only while calls are traced. Its item pair is (text, length).
struct TracedName {
    explicit TracedName(const char *name) {
        if (KAVZ_TRACING(trace_control, VULZ_MASK_ENTRY | VULZ_MASK_EXIT))
            length = copy_traced_name(name, text);
    }
    char text[8];
    uint32_t length = 0;
};
}  // namespace kavi
