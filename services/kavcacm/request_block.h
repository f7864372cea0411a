// request_block.h — a caller's request block for the communication service: zeroed, its length
// set and the calling task's name in its head, as every call expects it.
#pragma once

#include <cstring>

#include "services/kavcacm/kavcacm.h"

namespace kavc {

// request_for: a block of type Block for `task` (eight characters, already padded).
template <class Block>
Block request_for(const char *task) {
    Block block{};
    block.head.length = sizeof block;
    std::memcpy(block.head.task, task, 8);
    return block;
}

}  // namespace kavc
