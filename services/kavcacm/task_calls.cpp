// task_calls.cpp — vulcstrtcom, vulcstopcom, vulcchecktask: tasks come and go on the node.
#include <cstring>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/tasks.h"
#include "services/kavcacm/transport.h"

using namespace kavc;

uint32_t vulcstrtcom(VULC_STRTCOM *block) {
    uint32_t rc = check_head(block);
    if (rc != VULC_OK) return rc;
    block->receive_handle = 0;
    block->wait_handle = 0;
    // The exit's own mailslot only has to be a proper path: messages reach the task's inbox.
    bool mailslot_ok = std::memchr(block->mailslot, '\0', sizeof block->mailslot) != nullptr;
    if (!mailslot_ok || std::memcmp(block->head.task, ROUTER, 8) == 0) {
        log_failure(__func__, VULC_INVALID_REQUEST, 0, __LINE__, block, sizeof *block);
        return finish(block, VULC_INVALID_REQUEST, 0);
    }
    TaskRef task;
    uint32_t reason = task_start(block->head.task, &task);
    if (reason == plat::ERR_ALREADY_EXISTS) return finish(block, VULC_ALREADY_STARTED, reason);
    if (reason != plat::OK) {
        rc = reason == plat::ERR_NO_MEMORY ? VULC_NO_MEMORY : VULC_SYSTEM_ERROR;
        log_failure(__func__, rc, reason, __LINE__, block, sizeof *block);
        return finish(block, rc, reason);
    }
    // Reachable from other nodes too, or not started at all.
    rc = remote_transport().attach(block->head.task, &reason);
    if (rc != VULC_OK) {
        task_stop(block->head.task);
        if (rc != VULC_TRANSPORT_FAILED)
            log_failure(__func__, rc, reason, __LINE__, block, sizeof *block);
        return finish(block, rc, reason);
    }
    block->receive_handle = task->handle;
    block->wait_handle = task->handle;
    return finish(block, VULC_OK, 0);
}

uint32_t vulcstopcom(VULC_STOPCOM *block) {
    uint32_t rc = check_head(block);
    if (rc != VULC_OK) return rc;
    if (!task_stop(block->head.task)) return finish(block, VULC_NOT_STARTED, 0);
    remote_transport().detach(block->head.task);
    return finish(block, VULC_OK, 0);
}

uint32_t vulcchecktask(VULC_CHECKTASK *block) {
    if (block != nullptr && block->head.length == sizeof *block) {
        std::memcpy(block->node, local_node(), sizeof block->node);
    }
    uint32_t rc = check_head(block);
    if (rc != VULC_OK) return rc;
    // A task of this process holds its inbox while it is in the table, so only another
    // process's task needs the probe of the node, a socket and a connect.
    bool started = task_started_here(block->head.task) ||
                   plat::mailslot_exists(inbox_path(block->head.task).c_str());
    return finish(block, started ? VULC_OK : VULC_NOT_STARTED, 0);
}
