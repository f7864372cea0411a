// objtrace.h — trace records and error-log entries of the exported classes that carry an
// object's debug text, built only when the record is written.
#pragma once

#include <cstdint>

#include "ibase.hpp"

namespace kavi {

// A record of kind (VULZ_KIND_ENTRY or _EXIT) whose items are the object's debug text and, when
// value is not null, the 4 bytes at value. Written only under the trace rule; never throws.
void traceObject(uint32_t kind, const char *function, uint32_t line, const IVBase &object,
                 const void *value = nullptr) noexcept;

// An error-log entry with code, reason 0, and the object's debug text; never throws.
void logObject(const char *function, uint32_t code, uint32_t line, const IVBase &object) noexcept;

}  // namespace kavi
