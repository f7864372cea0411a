// input.cpp — checked reads of caller memory: nothing is read that the platform has not just
// found readable.
#include "services/kavzras/input.h"

#include <cstring>

#include "platform/platform.h"

namespace kavz {

namespace {

// Readability is granted per page; 4096 divides every page size in use.
constexpr uintptr_t PAGE = 4096;

}  // namespace

size_t copy_text(const char *text, char *out, size_t cap) {
    size_t size = 0;
    while (text != nullptr && size < cap) {
        const char *at = text + size;
        size_t chunk = PAGE - reinterpret_cast<uintptr_t>(at) % PAGE;
        if (chunk > cap - size) chunk = cap - size;
        if (!plat::pointer_readable(at, chunk)) break;
        const void *end = std::memchr(at, '\0', chunk);
        size_t n =
            end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - at) : chunk;
        std::memcpy(out + size, at, n);
        size += n;
        if (end != nullptr) break;
    }
    return size;
}

TraceItem capture_item(const void *data, uint32_t length, size_t cap) {
    size_t recorded = length < cap ? length : cap;
    if (recorded > 0 && (data == nullptr || !plat::pointer_readable(data, recorded))) {
        return {length, ItemState::unreadable, {}};
    }
    ItemState state = recorded < length ? ItemState::cut : ItemState::whole;
    return {length, state, {static_cast<const char *>(data), recorded}};
}

}  // namespace kavz
