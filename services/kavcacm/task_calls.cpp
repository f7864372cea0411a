// task_calls.cpp — vulcstrtcom, vulcclosecom, vulcstopcom, vulcchecktask, vulctaskident: tasks
// come and go on the node.
#include <cstring>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/tasks.h"
#include "services/kavcacm/transport.h"

using namespace kavc;

uint32_t vulcstrtcom(VULC_STRTCOM *block) try {
    uint32_t rc = check_head(block);
    if (rc != VULC_OK) return rc;
    block->receive_handle = 0;
    block->wait_handle = 0;
    // The exit's own mailslot only has to be a proper path: messages reach the task's inbox.
    bool mailslot_ok = std::memchr(block->mailslot, '\0', sizeof block->mailslot) != nullptr;
    if (!mailslot_ok || std::memcmp(block->head.task, ROUTER, 8) == 0) {
        return fail(block, VULC_INVALID_REQUEST, 0);
    }
    TaskRef task;
    uint32_t reason = task_start(block->head.task, &task);
    if (reason == plat::ERR_ALREADY_EXISTS) return finish(block, VULC_ALREADY_STARTED, reason);
    if (reason != plat::OK) {
        rc = reason == plat::ERR_NO_MEMORY ? VULC_NO_MEMORY : VULC_SYSTEM_ERROR;
        return fail(block, rc, reason);
    }
    // Reachable from other nodes too, or not started at all.
    rc = remote_transport().attach(block->head.task, &reason);
    if (rc != VULC_OK) {
        task_stop(block->head.task);
        // The transport already said once why it cannot work.
        if (rc == VULC_TRANSPORT_FAILED) return finish(block, rc, reason);
        return fail(block, rc, reason);
    }
    block->receive_handle = task->handle;
    block->wait_handle = task->handle;
    return finish(block, VULC_OK, 0);
} catch (...) {
    return out_of_memory(block);
}

uint32_t vulcstopcom(VULC_STOPCOM *block) try {
    if (uint32_t rc = check_head(block); rc != VULC_OK) return rc;
    if (!task_stop(block->head.task)) return finish(block, VULC_NOT_STARTED, 0);
    remote_transport().detach(block->head.task);
    return finish(block, VULC_OK, 0);
} catch (...) {
    return out_of_memory(block);
}

uint32_t vulcclosecom(VULC_STOPCOM *block) try {
    if (uint32_t rc = check_head(block); rc != VULC_OK) return rc;
    TaskRef task = task_find(block->head.task);
    if (task == nullptr) return finish(block, VULC_NOT_STARTED, 0);
    uint32_t reason = plat::mailslot_shut(task->inbox);
    if (reason != plat::OK) return fail(block, VULC_SYSTEM_ERROR, reason);
    return finish(block, VULC_OK, 0);
} catch (...) {
    return out_of_memory(block);
}

uint32_t vulctaskident(VULC_TASKIDENT *block) try {
    if (uint32_t rc = check_head(block); rc != VULC_OK) return rc;
    block->identity = 0;
    block->dropped = 0;
    if (!task_name_ok(block->target)) return fail(block, VULC_INVALID_REQUEST, 0);
    // Another node does not tell the starts of a name apart; what may have lost this process's
    // messages on their way there is the connection to it, so its losses stand for the drops.
    if (!node_is_local(block->node)) {
        block->dropped = remote_transport().lost_connections();
        return finish(block, remote_transport().served(block->node, block->target), 0);
    }
    uint64_t identity = 0;
    std::string path = inbox_path(block->target);
    block->dropped = plat::mailslot_dropped(path.c_str());
    uint32_t reason = plat::mailslot_identity(path.c_str(), &identity);
    if (reason == plat::ERR_NOT_FOUND) return finish(block, VULC_NOT_STARTED, 0);
    if (reason != plat::OK) return fail(block, VULC_SYSTEM_ERROR, reason);
    block->identity = identity;
    return finish(block, VULC_OK, 0);
} catch (...) {
    return out_of_memory(block);
}

uint32_t vulcchecktask(VULC_CHECKTASK *block) try {
    if (block != nullptr && block->head.length == sizeof *block) {
        std::memcpy(block->node, local_node(), sizeof block->node);
    }
    if (uint32_t rc = check_head(block); rc != VULC_OK) return rc;
    // A task of this process holds its inbox while it is in the table, so only another
    // process's task needs the probe of the node, a socket and a connect.
    bool started = task_started_here(block->head.task) ||
                   plat::mailslot_exists(inbox_path(block->head.task).c_str());
    return finish(block, started ? VULC_OK : VULC_NOT_STARTED, 0);
} catch (...) {
    return out_of_memory(block);
}
