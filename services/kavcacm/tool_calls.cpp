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

uint32_t vulclisttasks(VULC_TASKINFO *tasks, uint32_t capacity, uint32_t *count) try {
    if (count == nullptr || (tasks == nullptr && capacity != 0)) {
        log_failure(__func__, VULC_INVALID_REQUEST, capacity, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    std::vector<plat::MailslotInfo> found;
    uint32_t rc = plat::mailslot_list(TASK_PREFIX, &found);
    if (rc == plat::ERR_NO_MEMORY) return out_of_memory();
    if (rc != plat::OK) {
        log_failure(__func__, VULC_SYSTEM_ERROR, rc, __LINE__, nullptr, 0);
        return VULC_SYSTEM_ERROR;
    }
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
    uint32_t rc = plat::mailslot_list(WAIT_PREFIX, &waits);
    if (rc == plat::ERR_NO_MEMORY) return out_of_memory();
    if (rc != plat::OK) {
        log_failure(__func__, VULC_SYSTEM_ERROR, rc, __LINE__, nullptr, 0);
        return VULC_SYSTEM_ERROR;
    }
    uint32_t result = VULC_OK;
    for (const plat::MailslotInfo &wait : waits) {
        rc = plat::mailslot_write(wait.path.c_str(), WAKE_SHUTDOWN, sizeof WAKE_SHUTDOWN);
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
