// remote_calls.cpp — the calls that work on any node: this one through the node's own names,
// another through the distributed transport.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/tasks.h"
#include "services/kavcacm/transport.h"

using namespace kavc;

uint32_t vulcfindtask(const char node[24], const char task[8]) try {
    if (node == nullptr || task == nullptr || !task_name_ok(task)) {
        log_failure(__func__, VULC_INVALID_REQUEST, 0, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    if (!node_is_local(node)) return remote_transport().served(node, task);
    bool started = task_started_here(task) || plat::mailslot_exists(inbox_path(task).c_str());
    return started ? VULC_OK : VULC_NOT_STARTED;
} catch (...) {
    return out_of_memory();
}

uint32_t vulclistnodetasks(const char node[24], VULC_TASKINFO *tasks, uint32_t capacity,
                           uint32_t *count) try {
    if (node == nullptr || count == nullptr || (tasks == nullptr && capacity != 0)) {
        log_failure(__func__, VULC_INVALID_REQUEST, capacity, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    if (node_is_local(node)) return vulclisttasks(tasks, capacity, count);
    std::vector<VULC_TASKINFO> found;
    uint32_t rc = remote_transport().list_tasks(node, &found);
    std::copy_n(found.begin(), std::min<size_t>(found.size(), capacity), tasks);
    *count = static_cast<uint32_t>(found.size());
    return rc;
} catch (...) {
    return out_of_memory();
}

uint32_t vulcshutdownnode(const char node[24], uint32_t *ended) try {
    if (node == nullptr || ended == nullptr) {
        log_failure(__func__, VULC_INVALID_REQUEST, 0, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    if (node_is_local(node)) return vulcshutdown(ended);
    return remote_transport().shutdown(node, ended);
} catch (...) {
    return out_of_memory();
}

uint32_t vulclistnodes(VULC_NODEINFO *nodes, uint32_t capacity, uint32_t *count) try {
    if (count == nullptr || (nodes == nullptr && capacity != 0)) {
        log_failure(__func__, VULC_INVALID_REQUEST, capacity, __LINE__, nullptr, 0);
        return VULC_INVALID_REQUEST;
    }
    std::vector<std::string> found;
    uint32_t rc = remote_transport().nodes(&found);
    for (size_t i = 0; i < found.size() && i < capacity; ++i)
        std::copy_n(found[i].data(), 24, nodes[i].node);
    *count = static_cast<uint32_t>(found.size());
    return rc;
} catch (...) {
    return out_of_memory();
}

uint32_t vulcreconnects() try { return remote_transport().lost_connections(); } catch (...) {
    return out_of_memory();
}
