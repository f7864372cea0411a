// objtrace.cpp — trace records and error-log entries that carry an object's debug text.
#include "exit/vulece/objtrace.h"

#include "exit/trace.h"

namespace kavi {

void traceObject(uint32_t kind, const char *function, uint32_t line, const IVBase &object,
                 const void *value) noexcept {
    if (!KAVZ_TRACING(trace_control, trace_mask_of(kind))) return;
    // A text that cannot be built (no memory) costs the record, never the operation.
    try {
        IString text = object.asDebugInfo();
        const char *data = text;
        if (value == nullptr)
            VULZTRACE(function, line, kind, VULZ_LEVEL, 1, data, text.length());
        else
            VULZTRACE(function, line, kind, VULZ_LEVEL, 2, data, text.length(), value, 4u);
    } catch (...) {
    }
}

void logObject(const char *function, uint32_t code, uint32_t line, const IVBase &object) noexcept {
    // Without its text the entry still records the code.
    try {
        IString text = object.asDebugInfo();
        const char *data = text;
        KAVI_LOG(function, code, 0, line, 1, data, text.length());
    } catch (...) {
        KAVI_LOG(function, code, 0, line, 0);
    }
}

}  // namespace kavi
