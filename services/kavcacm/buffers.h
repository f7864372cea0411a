// buffers.h — the service's message buffers: a hidden prefix before each one records that it is
// the service's, how large it is and whether it arrived (a reply keeps the service fields).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavc {

enum class BufferKind : uint32_t { allocated = 1, received = 2 };

// buffer_capacity_for: the room for a message of len bytes: the spare beyond it, and at least
// the minimum.
size_t buffer_capacity_for(size_t len);
// buffer_new: a zero-filled buffer of capacity bytes, or null.
void *buffer_new(size_t capacity, BufferKind kind);
// buffer_info: false when p is not a live buffer of the service.
bool buffer_info(const void *p, size_t *capacity, BufferKind *kind);
// buffer_delete: false (nothing done) when p is not a live buffer of the service.
bool buffer_delete(void *p);
// buffers_live: how many buffers are handed out and not yet released, so that tests can tell
// that a run of the process leaked none.
size_t buffers_live();

}  // namespace kavc
