// request.h — what every call does with its request block: check the head, fill in the codes,
// log a failure once with the block as its data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"

namespace kavc {

void log_failure(const char *function, uint32_t code, uint32_t reason, uint32_t line,
                 const void *data, size_t length);

template <class Block>
uint32_t finish(Block *block, uint32_t rc, uint32_t reason) {
    block->head.rc = rc;
    block->head.reason = reason;
    return rc;
}

// fail: the call's failure logged once, with the block as its data, and its codes filled in.
template <class Block>
uint32_t fail(Block *block, uint32_t rc, uint32_t reason,
              const char *function = __builtin_FUNCTION(), uint32_t line = __builtin_LINE()) {
    log_failure(function, rc, reason, line, block, sizeof(Block));
    return finish(block, rc, reason);
}

// check_head: 0, or VULC_INVALID_REQUEST (logged; filled in where the block has room for it)
// for a null block, a length word that is not the block's size, or a malformed task name.
template <class Block>
uint32_t check_head(Block *block, const char *function = __builtin_FUNCTION(),
                    uint32_t line = __builtin_LINE()) {
    if (block == nullptr) {
        log_failure(function, VULC_INVALID_REQUEST, 0, line, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    if (block->head.length != sizeof(Block)) {
        log_failure(function, VULC_INVALID_REQUEST, block->head.length, line, block,
                    sizeof block->head.length);
        return VULC_INVALID_REQUEST;
    }
    if (!task_name_ok(block->head.task)) {
        log_failure(function, VULC_INVALID_REQUEST, 0, line, block, sizeof(Block));
        return finish(block, VULC_INVALID_REQUEST, 0);
    }
    return VULC_OK;
}

// out_of_memory: what a call answers when an exception reaches its C entry point, which no
// exception may leave. The one the service's code can meet is a failed allocation: a
// std::bad_alloc, or whatever the process's new-handler throws instead (an exit program's
// support library throws its IOutOfMemory). Logged; filled in where the block has room for it.
template <class Block>
uint32_t out_of_memory(Block *block, const char *function = __builtin_FUNCTION(),
                       uint32_t line = __builtin_LINE()) {
    log_failure(function, VULC_NO_MEMORY, 0, line, nullptr, 0);
    if (block != nullptr && block->head.length == sizeof(Block)) finish(block, VULC_NO_MEMORY, 0);
    return VULC_NO_MEMORY;
}
inline uint32_t out_of_memory(const char *function = __builtin_FUNCTION(),
                              uint32_t line = __builtin_LINE()) {
    log_failure(function, VULC_NO_MEMORY, 0, line, nullptr, 0);
    return VULC_NO_MEMORY;
}

}  // namespace kavc
