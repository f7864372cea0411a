// receive.cpp — vulcsocwait and vulcrcvdata. A wait reads the next message ahead into the task's
// scratch; a receive hands it out in a buffer of its own. Nothing that arrives is trusted: a
// datagram that cannot be a message is logged and dropped, never handed out.
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/buffers.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/message.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/tasks.h"

using namespace kavc;

namespace {

using Clock = std::chrono::steady_clock;

int32_t left_ms(int32_t timeout_ms, Clock::time_point deadline) {
    if (timeout_ms <= 0) return timeout_ms;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int32_t>(left) : 0;
}

// discard: takes off the queue a datagram larger than any message, which a read left there.
void discard(Task &task, size_t len) {
    std::vector<char> rest(len);
    plat::mailslot_read(task.inbox, rest.data(), len, &len, 0);
}

// read_ahead: with task.reading held, makes sure a message is held in the scratch, reading the
// inbox for up to timeout_ms. 0; VULC_NO_DATA; VULC_CLOSED once the task is closed and its inbox
// empty; VULC_INVALID_HANDLE once the task is stopped;
// VULC_SYSTEM_ERROR (logged, the platform's code in *reason).
uint32_t read_ahead(Task &task, int32_t timeout_ms, uint32_t *reason) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (task.held == 0) {
        size_t len = 0;
        uint32_t rc = plat::mailslot_read(task.inbox, task.scratch, plat::MAILSLOT_MAX_MESSAGE,
                                          &len, left_ms(timeout_ms, deadline));
        // The stop's wake-up is no message, and after a stop nothing more is read.
        if (task.stopped.load()) return VULC_INVALID_HANDLE;
        if (rc == plat::TIMEOUT) return VULC_NO_DATA;
        if (rc == plat::ERR_CLOSED) return VULC_CLOSED;
        if (rc == plat::OK &&
            header_consistent(reinterpret_cast<unsigned char *>(task.scratch), len)) {
            task.held = len;
        } else if (rc == plat::OK || rc == plat::ERR_INVALID_PARAMETER) {
            // Logged with what arrived, up to one header, so that its sender can be found.
            size_t shown = std::min<size_t>(len, VULC_HEADER_LENGTH);
            log_failure("vulcrcvdata", VULC_INVALID_REQUEST, static_cast<uint32_t>(len), __LINE__,
                        task.scratch, rc == plat::OK ? shown : 0);
            if (rc == plat::ERR_INVALID_PARAMETER) discard(task, len);
        } else {
            *reason = rc;
            log_failure("vulcrcvdata", VULC_SYSTEM_ERROR, rc, __LINE__, task.name, 8);
            return VULC_SYSTEM_ERROR;
        }
    }
    return VULC_OK;
}

}  // namespace

uint32_t vulcsocwait(VULC_SOCWAIT *block) try {
    if (block == nullptr || block->length != sizeof *block) {
        log_failure(__func__, VULC_INVALID_REQUEST, 0, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    TaskRef task = task_by_handle(block->wait_handle);
    if (task == nullptr) return VULC_INVALID_HANDLE;
    uint32_t reason = 0;
    std::lock_guard<std::mutex> hold(task->reading);
    uint32_t rc = read_ahead(*task, block->timeout_ms, &reason);
    return rc == VULC_NO_DATA ? VULC_SEM_TIMEOUT : rc;
} catch (...) {
    return out_of_memory();
}

uint32_t vulcrcvdata(VULC_RCVDATA *block) try {
    uint32_t rc = check_head(block);
    if (rc != VULC_OK) return rc;
    if (block->length_out == nullptr || block->buffer_out == nullptr) {
        return fail(block, VULC_INVALID_REQUEST, 0);
    }
    TaskRef task = task_by_handle(block->receive_handle);
    char key[8];
    canonical_name(block->head.task, key);
    if (task == nullptr || task->stopped.load() || std::memcmp(task->name, key, 8) != 0) {
        return finish(block, VULC_INVALID_HANDLE, 0);
    }
    // A wait in progress on another thread reads the next message itself: nothing here yet.
    std::unique_lock<std::mutex> hold(task->reading, std::try_to_lock);
    if (!hold.owns_lock()) return finish(block, VULC_NO_DATA, 0);
    uint32_t reason = 0;
    rc = read_ahead(*task, 0, &reason);
    if (rc != VULC_OK) return finish(block, rc, reason);
    void *buffer = buffer_new(buffer_capacity_for(task->held), BufferKind::received);
    if (buffer == nullptr) {  // the message stays held for the next receive
        log_failure(__func__, VULC_NO_MEMORY, static_cast<uint32_t>(task->held), __LINE__, block,
                    sizeof *block);
        return finish(block, VULC_NO_MEMORY, static_cast<uint32_t>(task->held));
    }
    std::memcpy(buffer, task->scratch, task->held);
    *block->buffer_out = buffer;
    *block->length_out = static_cast<uint32_t>(task->held);
    task->held = 0;
    return finish(block, VULC_OK, 0);
} catch (...) {
    return out_of_memory(block);
}
