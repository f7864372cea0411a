// registration.cpp — KaviInitialize and KaviInit: an exit gets its mailslot, its task at the
// communication service, a slot of the exit table with its events, and its command queue thread.
#include <cstdint>
#include <cstring>
#include <string>

#include "exit/exit_table.h"
#include "exit/invocation.h"
#include "exit/queue_thread.h"
#include "exit/records.h"
#include "exit/slot.h"
#include "exit/stats.h"
#include "exit/trace.h"
#include "exit/wait_list.h"
#include "kaviexit.h"
#include "services/kavcacm/request_block.h"

namespace kavi {
namespace {

constexpr const char *FN = "KaviInit";
constexpr char MAILSLOT_PREFIX[] = "\\\\.\\MAILSLOT\\VULEQUEUE";

// Whether VulequetAtExit is on the process-exit list; guarded by the exit table mutex.
bool at_exit_registered = false;

// What a registration has made so far, so that a failure gives back exactly that.
struct Registration {
    char padded[9];
    char mailslot_path[40];
    plat::Mailslot *mailslot = nullptr;
    bool task_begun = false;  // vulcstrtcom may have started the task, whole or in part
    QueueStartRecord *start = nullptr;
};

// start_task: vulcstrtcom for the exit; 2 (the name is started on the node) becomes 1.
uint32_t start_task(Registration *r, VULC_STRTCOM *block) {
    *block = kavc::request_for<VULC_STRTCOM>(r->padded);
    memcpy(block->mailslot, r->mailslot_path, sizeof r->mailslot_path);
    block->mailslot_handle = reinterpret_cast<VULC_HANDLE>(r->mailslot);
    uint32_t rc = vulcstrtcom(block);
    // A task of the name started by someone else is theirs; any other failure may have left
    // this one half started.
    r->task_begun = rc != VULC_ALREADY_STARTED;
    if (rc == VULC_OK) return VULE_OK;
    KAVI_LOG(FN, rc, block->head.reason, 150, 1, KAVI_ITEM(*block));
    return rc == VULC_ALREADY_STARTED ? VULE_NOT_CREATED : VULE_SYSTEM_ERROR;
}

// note_local_node: the node address the service gives; kept as it was when the service fails.
void note_local_node(const char padded[9]) {
    auto block = kavc::request_for<VULC_CHECKTASK>(padded);
    uint32_t rc = vulcchecktask(&block);
    if (rc == VULC_OK) {
        // Written only when it changes, as KaviSend does: calls on other threads read it.
        if (memcmp(local_node_address, block.node, 24) != 0)
            memcpy(local_node_address, block.node, 24);
    } else {
        KAVI_LOG(FN, rc, block.head.reason, 190, 1, KAVI_ITEM(block));
    }
}

// start_queue_thread: hands the start record to the exit's queue thread. 0 or VULE_SYSTEM_ERROR.
uint32_t start_queue_thread(Registration *r, const ExitSlot &slot, const VULC_STRTCOM &task,
                            VULE_EXIT_FUNCTION fn, uint32_t run_mode, uint16_t index,
                            uint32_t generation) {
    QueueStartRecord *start = r->start;
    memcpy(start->name, r->padded, sizeof start->name);
    start->mailslot = r->mailslot;
    start->exit_function = fn;
    start->queue_ended = slot.queue_ended;
    start->reserved = 0;
    start->receive_handle = task.receive_handle;
    start->wait_handle = task.wait_handle;
    start->run_mode = run_mode;
    start->exit_index = index;
    start->slot_generation = generation;
    stats_start(index, run_mode);
    uint32_t started = plat::thread_start(VuleQueThread, start, plat::THREAD_STACK_SIZE);
    if (started != plat::OK) {
        KAVI_LOG(FN, VULE_SYSTEM_ERROR, started, 220, 1, KAVI_ITEM(*start));
        return VULE_SYSTEM_ERROR;
    }
    r->start = nullptr;  // the queue thread's from here on
    return VULE_OK;
}

// set_up_slot: steps under the exit table mutex, from claiming a slot to starting the queue
// thread. On failure the slot is given back with nothing of it left open.
uint32_t set_up_slot(Registration *r, const VULC_STRTCOM &task, VULE_EXIT_FUNCTION fn,
                     uint32_t run_mode) {
    uint16_t index = 0;
    uint32_t generation = 0;
    ExitSlot *slot = claim_slot(r->padded, &index, &generation);
    if (slot == nullptr) {
        KAVI_LOG(FN, VULE_SYSTEM_ERROR, 0, 180, 1, r->padded, 8u);
        return VULE_SYSTEM_ERROR;
    }
    slot->mailslot = r->mailslot;
    slot->receive_handle = task.receive_handle;
    ExquDllInitializeListToEmpty(&slot->work_list);
    note_local_node(r->padded);

    uint32_t rc = VULE_OK;
    if (uint32_t created = create_slot_objects(slot, run_mode); created != plat::OK) {
        KAVI_LOG(FN, created, 0, 200, 1, slot->name, 8u);
        rc = VULE_SYSTEM_ERROR;
    }
    if (rc == VULE_OK) {
        uint32_t created = create_mutex_once(&active_command_mutex);
        if (created == plat::OK) created = create_mutex_once(&wait_list_mutex);
        if (created != plat::OK) {
            KAVI_LOG(FN, created, 0, 210, 0);
            rc = VULE_SYSTEM_ERROR;
        }
    }
    if (rc == VULE_OK) rc = start_queue_thread(r, *slot, task, fn, run_mode, index, generation);
    if (rc != VULE_OK) {
        close_slot_objects(slot);
        give_back_slot(slot);
        return rc;
    }
    if (!at_exit_registered) {
        // Once per process: the handler answers every active command whichever exit it
        // belongs to, and the process-exit list must not grow with each registration.
        uint32_t registered = plat::at_exit(VulequetAtExit);
        if (registered == plat::OK) {
            at_exit_registered = true;
        } else {
            KAVI_LOG(FN, registered, 0, 230, 0);
        }
    }
    return VULE_OK;
}

// give_back: what a failed registration made, last first.
void give_back(Registration *r) {
    plat::mem_free(r->start);
    if (r->task_begun) {
        auto stop = kavc::request_for<VULC_STOPCOM>(r->padded);
        vulcstopcom(&stop);
    }
    if (r->mailslot != nullptr) plat::mailslot_close(r->mailslot);
}

int register_exit(const char *name, VULE_EXIT_FUNCTION fn, uint32_t run_mode) {
    if (name == nullptr || fn == nullptr) {
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, 0, 120, 2, KAVI_ITEM(name), KAVI_ITEM(fn));
        return VULE_INVALID_ARGUMENT;
    }
    Registration r;
    if (!make_padded_name(name, r.padded)) {
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, 0, 130, 1, KAVI_ITEM(name));
        return VULE_INVALID_ARGUMENT;
    }
    // Refused before anything is created: cut to 24 characters, two nodes would become one.
    if (plat::node_name_too_long()) {
        std::string node;
        plat::env_get("KAVI_NODE", &node);
        KAVI_LOG(FN, VULE_NOT_CREATED, static_cast<uint32_t>(node.size()), 135, 1, node.data(),
                 static_cast<uint32_t>(node.size()));
        return VULE_NOT_CREATED;
    }
    // The service would refuse these names too, but only as a failure of its own (code 7).
    if (uint32_t refused = name_refused(r.padded); refused != 0) {
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, refused, 130, 1, KAVI_ITEM(name));
        return VULE_INVALID_ARGUMENT;
    }
    std::string path = MAILSLOT_PREFIX + std::string(r.padded, strnlen(name, 8));
    memset(r.mailslot_path, 0, sizeof r.mailslot_path);
    memcpy(r.mailslot_path, path.data(), path.size());

    uint32_t rc = VULE_OK;
    if (uint32_t created = plat::mailslot_create(r.mailslot_path, &r.mailslot);
        created != plat::OK) {
        r.mailslot = nullptr;
        KAVI_LOG(FN, VULE_NOT_CREATED, created, 140, 1, r.mailslot_path,
                 static_cast<uint32_t>(path.size()));
        rc = VULE_NOT_CREATED;
    }
    VULC_STRTCOM task;
    if (rc == VULE_OK) rc = start_task(&r, &task);
    if (rc == VULE_OK) {
        r.start = static_cast<QueueStartRecord *>(plat::alloc_zeroed(sizeof(QueueStartRecord)));
        if (r.start == nullptr) {
            KAVI_LOG(FN, VULE_NO_MEMORY, 0, 160, 1, r.padded, 8u);
            rc = VULE_NO_MEMORY;
        }
    }
    // Calls of an earlier registration of the name were told that it ended; this one's may wait
    // again. Done before the exit table mutex is taken: no two library mutexes are held at once.
    // Without the wait-list mutex no queue thread has ended yet, and no name is closed.
    if (rc == VULE_OK && wait_list_mutex != nullptr) VuleRLOpenExit(r.padded);
    if (rc == VULE_OK) {
        uint32_t created = create_mutex_once(&exit_table_mutex);
        Lock lock(created == plat::OK ? exit_table_mutex : nullptr);
        if (lock.held()) {
            rc = set_up_slot(&r, task, fn, run_mode);
        } else {
            KAVI_LOG(FN, VULE_SYSTEM_ERROR, created != plat::OK ? created : lock.code(), 170, 0);
            rc = VULE_SYSTEM_ERROR;
        }
    }
    if (rc != VULE_OK) give_back(&r);
    return static_cast<int>(rc);
}

}  // namespace
}  // namespace kavi

using namespace kavi;

extern "C" KAVI_API int KAVI_CALL KaviInit(const char *exitName, VULE_EXIT_FUNCTION exitFunction,
                                           uint32_t runMode) try {
    TracedName traced(exitName);
    KAVI_TRACE(VULZ_KIND_ENTRY, FN, 100, 3, traced.text, traced.length, KAVI_ITEM(exitFunction),
               &runMode, 4u);
    int rc = register_exit(exitName, exitFunction, runMode);
    int16_t code = static_cast<int16_t>(rc);
    KAVI_TRACE(VULZ_KIND_EXIT, FN, 300, 4, &code, 2u, traced.text, traced.length,
               KAVI_ITEM(exitFunction), &runMode, 4u);
    return rc;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG(FN, VULE_NO_MEMORY, 0, 310, 0);
    return VULE_NO_MEMORY;
}

extern "C" KAVI_API int KAVI_CALL KaviInitialize(const char *exitName,
                                                 VULE_EXIT_FUNCTION exitFunction) try {
    TracedName traced(exitName);
    KAVI_TRACE(VULZ_KIND_ENTRY, "KaviInitialize", 50, 2, traced.text, traced.length,
               KAVI_ITEM(exitFunction));
    int rc = KaviInit(exitName, exitFunction, 1);
    int16_t code = static_cast<int16_t>(rc);
    KAVI_TRACE(VULZ_KIND_EXIT, "KaviInitialize", 70, 1, &code, 2u);
    return rc;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG("KaviInitialize", VULE_NO_MEMORY, 0, 80, 0);
    return VULE_NO_MEMORY;
}
