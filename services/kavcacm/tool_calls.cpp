// tool_calls.cpp — the extensions that server-side tools use on their node: list the tasks,
// end every wait.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/wake.h"

using namespace kavc;

namespace {

// list_node: the mailslots of the node under prefix; 0, or what the calling tool call answers
// (a system failure is logged under its name and site).
uint32_t list_node(const char *prefix, std::vector<plat::MailslotInfo> *found,
                   const char *function = __builtin_FUNCTION(), uint32_t line = __builtin_LINE()) {
    uint32_t rc = plat::mailslot_list(prefix, found);
    if (rc == plat::ERR_NO_MEMORY) return out_of_memory(function, line);
    if (rc != plat::OK) {
        log_failure(function, VULC_SYSTEM_ERROR, rc, line, nullptr, 0);
        return VULC_SYSTEM_ERROR;
    }
    return VULC_OK;
}

}  // namespace

uint32_t vulclisttasks(VULC_TASKINFO *tasks, uint32_t capacity, uint32_t *count) try {
    if (count == nullptr || (tasks == nullptr && capacity != 0)) {
        log_failure(__func__, VULC_INVALID_REQUEST, capacity, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    std::vector<plat::MailslotInfo> found;
    if (uint32_t rc = list_node(TASK_PREFIX, &found); rc != VULC_OK) return rc;
    uint32_t n = 0;
    const size_t prefix_length = sizeof TASK_PREFIX - 1;
    for (const plat::MailslotInfo &slot : found) {
        VULC_TASKINFO info = {};
        std::string name = slot.path.substr(prefix_length);
        if (!pad_name(name.c_str(), name.size(), info.task)) continue;
        info.pid = slot.pid;
        if (n < capacity) tasks[n] = info;
        ++n;
    }
    *count = n;
    return VULC_OK;
} catch (...) {
    return out_of_memory();
}

uint32_t vulcshutdown(uint32_t *ended) try {
    if (ended == nullptr) {
        log_failure(__func__, VULC_INVALID_REQUEST, 0, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    *ended = 0;
    std::vector<plat::MailslotInfo> waits;
    if (uint32_t rc = list_node(WAIT_PREFIX, &waits); rc != VULC_OK) return rc;
    uint32_t result = VULC_OK;
    for (const plat::MailslotInfo &wait : waits) {
        uint32_t rc = plat::mailslot_write(wait.path.c_str(), WAKE_SHUTDOWN, sizeof WAKE_SHUTDOWN);
        if (rc == plat::OK) {
            ++*ended;
        } else if (rc != plat::ERR_NOT_FOUND) {  // not found: that wait ended meanwhile
            log_failure(__func__, VULC_SYSTEM_ERROR, rc, __LINE__, wait.path.data(),
                        wait.path.size());
            result = VULC_SYSTEM_ERROR;
        }
    }
    return result;
} catch (...) {
    return out_of_memory();
}
