// buffers.cpp — message buffers with a hidden prefix, and the calls that allocate and release them.
#include "services/kavcacm/buffers.h"

#include <algorithm>
#include <atomic>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/tasks.h"

namespace kavc {

namespace {

constexpr uint32_t LIVE = 0x4B415642;  // "BVAK"
constexpr uint32_t DEAD = 0x44454144;

// 16 bytes keep the message as aligned as the allocation.
struct Prefix {
    uint32_t magic;
    uint32_t capacity;
    BufferKind kind;
    uint32_t reserved;
};
static_assert(sizeof(Prefix) == 16);

std::atomic<size_t> live{0};

Prefix *prefix_of(const void *p) {
    return reinterpret_cast<Prefix *>(const_cast<char *>(static_cast<const char *>(p)) -
                                      sizeof(Prefix));
}

}  // namespace

size_t buffer_capacity_for(size_t len) {
    return std::max<size_t>(len + VULC_BUFFER_SPARE, VULC_BUFFER_MIN);
}

void *buffer_new(size_t capacity, BufferKind kind) {
    auto *prefix = static_cast<Prefix *>(plat::alloc_zeroed(sizeof(Prefix) + capacity));
    if (prefix == nullptr) return nullptr;
    *prefix = Prefix{LIVE, static_cast<uint32_t>(capacity), kind, 0};
    live.fetch_add(1, std::memory_order_relaxed);
    return prefix + 1;
}

bool buffer_info(const void *p, size_t *capacity, BufferKind *kind) {
    if (p == nullptr || prefix_of(p)->magic != LIVE) return false;
    *capacity = prefix_of(p)->capacity;
    *kind = prefix_of(p)->kind;
    return true;
}

bool buffer_delete(void *p) {
    if (p == nullptr || prefix_of(p)->magic != LIVE) return false;
    Prefix *prefix = prefix_of(p);
    prefix->magic = DEAD;
    plat::mem_free(prefix);
    live.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

size_t buffers_live() {
    return live.load(std::memory_order_relaxed);
}

}  // namespace kavc

using namespace kavc;

uint32_t vulcalcmem(VULC_ALCMEM *block) try {
    if (uint32_t rc = check_head(block); rc != VULC_OK) return rc;
    block->buffer = nullptr;
    if (block->size > VULC_MESSAGE_MAX) return finish(block, VULC_INVALID_REQUEST, block->size);
    if (!task_started_here(block->head.task)) return finish(block, VULC_NOT_STARTED, 0);
    block->buffer = buffer_new(buffer_capacity_for(block->size), BufferKind::allocated);
    if (block->buffer == nullptr) {
        log_failure(__func__, VULC_NO_MEMORY, block->size, __LINE__, block, sizeof *block);
        return finish(block, VULC_NO_MEMORY, block->size);
    }
    return finish(block, VULC_OK, 0);
} catch (...) {
    return out_of_memory(block);
}

uint32_t vulcfreemem(VULC_FREEMEM *block) try {
    // Only the block's length is checked, not its task name: the buffer's own prefix proves it
    // is the service's, and a reply path names the task a received header gave, which a peer
    // wrote. A buffer handed out is released whatever its header says.
    if (block == nullptr || block->head.length != sizeof *block) return check_head(block);
    if (!buffer_delete(block->buffer)) return fail(block, VULC_INVALID_REQUEST, 0);
    return finish(block, VULC_OK, 0);
} catch (...) {
    return out_of_memory(block);
}
