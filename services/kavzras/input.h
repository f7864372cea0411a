// input.h — reading what callers pass to the service, which may be null or unreadable and must
// never make a trace or a log line crash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "services/kavzras/record.h"

namespace kavz {

// copy_text: copies the C string at text into out, at most cap bytes, and returns its length.
// A null text counts as empty; an unterminated one ends where readable memory ends.
size_t copy_text(const char *text, char *out, size_t cap);
// capture_item: the first cap bytes (at most) of a data item, or nothing when they cannot be
// read; the item's state says which.
TraceItem capture_item(const void *data, uint32_t length, size_t cap);

}  // namespace kavz
