// registration.cpp — KaviInitialize and KaviInit: an exit gets its mailslot, its task at the
// communication service, a slot of the exit table with its events, and its command queue thread.
#include <cstdint>
#include <cstring>
#include <string>

#include "exit/exit_table.h"
#include "exit/invocation.h"
#include "exit/queue_thread.h"
#include "exit/records.h"
#include "exit/stats.h"
#include "exit/trace.h"
#include "exit/wait_list.h"
#include "kaviexit.h"

namespace kavi {
namespace {

constexpr const char *FN = "KaviInit";
constexpr char MAILSLOT_PREFIX[] = "\\\\.\\MAILSLOT\\VULEQUEUE";

// Whether VulequetAtExit is on the process-exit list; guarded by the exit table mutex.
bool at_exit_registered = false;

// What a registration has made so far, so a failure can give it back.
struct Registration {
    char padded[9];
    char mailslot_path[40];
    plat::Mailslot *mailslot = nullptr;
    QueueStartRecord *start = nullptr;
    bool locked = false;
    ExitSlot *slot = nullptr;
};

// A slot is free once its name is empty and no queue thread is still attached to it (a queue
// thread that termination could not stop closes the slot's objects itself when it ends).
ExitSlot *claim_free_slot(uint16_t *index) {
    for (uint16_t i = 0; i < EXIT_SLOTS; ++i) {
        if (exit_table[i].name[0] == '\0' && exit_table[i].queue_ended == nullptr) {
            *index = i;
            return &exit_table[i];
        }
    }
    return nullptr;
}

uint32_t create_event(plat::Event **event) {
    uint32_t rc = plat::event_create(event);
    if (rc != plat::OK) *event = nullptr;
    return rc;
}

// create_slot_objects: the queue ended event, and in run mode 0 the dispatcher's objects.
// Fields not created stay null.
uint32_t create_slot_objects(ExitSlot *slot, uint32_t run_mode) {
    slot->queue_ended = nullptr;
    slot->work_posted = nullptr;
    slot->dispatcher_ended = nullptr;
    slot->dispatcher_mutex = nullptr;
    uint32_t rc = create_event(&slot->queue_ended);
    if (rc == plat::OK && run_mode == 0) rc = create_event(&slot->work_posted);
    if (rc == plat::OK && run_mode == 0) rc = create_event(&slot->dispatcher_ended);
    if (rc == plat::OK && run_mode == 0) {
        rc = plat::mutex_create(&slot->dispatcher_mutex);
        if (rc != plat::OK) slot->dispatcher_mutex = nullptr;
    }
    if (rc != plat::OK) KAVI_LOG(FN, rc, 0, 200, 1, slot->name, 8u);
    return rc;
}

void close_slot_objects(ExitSlot *slot) {
    if (slot->queue_ended != nullptr) plat::event_close(slot->queue_ended);
    if (slot->work_posted != nullptr) plat::event_close(slot->work_posted);
    if (slot->dispatcher_ended != nullptr) plat::event_close(slot->dispatcher_ended);
    if (slot->dispatcher_mutex != nullptr) plat::mutex_close(slot->dispatcher_mutex);
    slot->queue_ended = nullptr;
    slot->work_posted = nullptr;
    slot->dispatcher_ended = nullptr;
    slot->dispatcher_mutex = nullptr;
}

// start_task: vulcstrtcom for the exit; 2 (the name is started on the node) becomes 1.
uint32_t start_task(Registration *r, VULC_STRTCOM *block) {
    memset(block, 0, sizeof *block);
    block->head.length = sizeof *block;
    memcpy(block->head.task, r->padded, 8);
    memcpy(block->mailslot, r->mailslot_path, sizeof r->mailslot_path);
    block->mailslot_handle = reinterpret_cast<VULC_HANDLE>(r->mailslot);
    uint32_t rc = vulcstrtcom(block);
    if (rc == VULC_OK) return VULE_OK;
    KAVI_LOG(FN, rc, block->head.reason, 150, 1, block, static_cast<uint32_t>(sizeof *block));
    return rc == VULC_ALREADY_STARTED ? VULE_NOT_CREATED : VULE_SYSTEM_ERROR;
}

// note_local_node: the node address the service gives; kept as it was when the service fails.
void note_local_node(const char padded[9]) {
    VULC_CHECKTASK block{};
    block.head.length = sizeof block;
    memcpy(block.head.task, padded, 8);
    uint32_t rc = vulcchecktask(&block);
    if (rc == VULC_OK) {
        // Written only when it changes, as KaviSend does: calls on other threads read it.
        if (memcmp(local_node_address, block.node, 24) != 0)
            memcpy(local_node_address, block.node, 24);
    } else {
        KAVI_LOG(FN, rc, block.head.reason, 190, 1, &block, static_cast<uint32_t>(sizeof block));
    }
}

// set_up_slot: steps under the exit table mutex, from claiming a slot to starting the queue
// thread. On failure the slot is given back with nothing of it left open.
uint32_t set_up_slot(Registration *r, const VULC_STRTCOM &task, VULE_EXIT_FUNCTION fn,
                     uint32_t run_mode) {
    uint16_t index = 0;
    ExitSlot *slot = claim_free_slot(&index);
    if (slot == nullptr) {
        KAVI_LOG(FN, VULE_SYSTEM_ERROR, 0, 180, 1, r->padded, 8u);
        return VULE_SYSTEM_ERROR;
    }
    memcpy(slot->name, r->padded, sizeof slot->name);
    slot->mailslot = r->mailslot;
    slot->receive_handle = task.receive_handle;
    slot->terminating = 0;
    slot->stop_deferred = false;
    uint32_t generation = slot->generation.fetch_add(1) + 1;
    note_local_node(r->padded);

    uint32_t rc = create_slot_objects(slot, run_mode) == plat::OK ? VULE_OK : VULE_SYSTEM_ERROR;
    if (rc == VULE_OK) {
        uint32_t created = create_mutex_once(&active_command_mutex);
        if (created == plat::OK) created = create_mutex_once(&wait_list_mutex);
        if (created != plat::OK) {
            KAVI_LOG(FN, created, 0, 210, 0);
            rc = VULE_SYSTEM_ERROR;
        }
    }
    ExquDllInitializeListToEmpty(&slot->work_list);

    if (rc == VULE_OK) {
        QueueStartRecord *start = r->start;
        memcpy(start->name, r->padded, sizeof start->name);
        start->mailslot = r->mailslot;
        start->exit_function = fn;
        start->queue_ended = slot->queue_ended;
        start->reserved = 0;
        start->receive_handle = task.receive_handle;
        start->wait_handle = task.wait_handle;
        start->run_mode = run_mode;
        start->exit_index = index;
        start->slot_generation = generation;
        stats_start(index, run_mode);
        uint32_t started = plat::thread_start(VuleQueThread, start, plat::THREAD_STACK_SIZE);
        if (started == plat::OK) {
            r->start = nullptr;  // the queue thread's from here on
        } else {
            KAVI_LOG(FN, VULE_SYSTEM_ERROR, started, 220, 1, start,
                     static_cast<uint32_t>(sizeof *start));
            rc = VULE_SYSTEM_ERROR;
        }
    }
    if (rc == VULE_OK && !at_exit_registered) {
        // Once per process: the handler answers every active command whichever exit it
        // belongs to, and the process-exit list must not grow with each registration.
        uint32_t registered = plat::at_exit(VulequetAtExit);
        if (registered == plat::OK) {
            at_exit_registered = true;
        } else {
            KAVI_LOG(FN, registered, 0, 230, 0);
        }
    }
    if (rc != VULE_OK) {
        close_slot_objects(slot);
        slot->mailslot = nullptr;
        slot->name[0] = '\0';
    }
    return rc;
}

int register_exit(const char *name, VULE_EXIT_FUNCTION fn, uint32_t run_mode) {
    if (name == nullptr || fn == nullptr) {
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, 0, 120, 2, &name, static_cast<uint32_t>(sizeof name),
                 &fn, static_cast<uint32_t>(sizeof fn));
        return VULE_INVALID_ARGUMENT;
    }
    Registration r;
    if (!make_padded_name(name, r.padded)) {
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, 0, 130, 1, &name, static_cast<uint32_t>(sizeof name));
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
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, refused, 130, 1, &name,
                 static_cast<uint32_t>(sizeof name));
        return VULE_INVALID_ARGUMENT;
    }
    std::string path = MAILSLOT_PREFIX + std::string(r.padded, strnlen(name, 8));
    memset(r.mailslot_path, 0, sizeof r.mailslot_path);
    memcpy(r.mailslot_path, path.data(), path.size());

    uint32_t rc = VULE_OK;
    uint32_t created = plat::mailslot_create(r.mailslot_path, &r.mailslot);
    if (created != plat::OK) {
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
        uint32_t mutex_rc = create_mutex_once(&exit_table_mutex);
        if (mutex_rc == plat::OK) mutex_rc = lock_mutex(exit_table_mutex);
        if (mutex_rc == plat::OK) {
            r.locked = true;
        } else {
            KAVI_LOG(FN, VULE_SYSTEM_ERROR, mutex_rc, 170, 0);
            rc = VULE_SYSTEM_ERROR;
        }
    }
    if (rc == VULE_OK) rc = set_up_slot(&r, task, fn, run_mode);
    if (r.locked) plat::mutex_release(exit_table_mutex);

    // Give back what was made, last first.
    plat::mem_free(r.start);
    // The task may be half started when vulcstrtcom failed with anything but "already started".
    if (rc == VULE_NO_MEMORY || rc == VULE_SYSTEM_ERROR) {
        VULC_STOPCOM stop{};
        stop.head.length = sizeof stop;
        memcpy(stop.head.task, r.padded, 8);
        vulcstopcom(&stop);
    }
    if (rc != VULE_OK && r.mailslot != nullptr) plat::mailslot_close(r.mailslot);
    return static_cast<int>(rc);
}

}  // namespace
}  // namespace kavi

using namespace kavi;

extern "C" KAVI_API int KAVI_CALL KaviInit(const char *exitName, VULE_EXIT_FUNCTION exitFunction,
                                           uint32_t runMode) try {
    char traced[8];
    uint32_t traced_length = 0;
    if (KAVZ_TRACING(trace_control, VULZ_MASK_ENTRY | VULZ_MASK_EXIT))
        traced_length = copy_traced_name(exitName, traced);
    KAVI_TRACE(VULZ_KIND_ENTRY, FN, 100, 3, traced, traced_length, &exitFunction,
               static_cast<uint32_t>(sizeof exitFunction), &runMode, 4u);
    int rc = register_exit(exitName, exitFunction, runMode);
    int16_t code = static_cast<int16_t>(rc);
    KAVI_TRACE(VULZ_KIND_EXIT, FN, 300, 4, &code, 2u, traced, traced_length, &exitFunction,
               static_cast<uint32_t>(sizeof exitFunction), &runMode, 4u);
    return rc;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG(FN, VULE_NO_MEMORY, 0, 310, 0);
    return VULE_NO_MEMORY;
}

extern "C" KAVI_API int KAVI_CALL KaviInitialize(const char *exitName,
                                                 VULE_EXIT_FUNCTION exitFunction) try {
    char traced[8];
    uint32_t traced_length = 0;
    if (KAVZ_TRACING(trace_control, VULZ_MASK_ENTRY | VULZ_MASK_EXIT))
        traced_length = copy_traced_name(exitName, traced);
    KAVI_TRACE(VULZ_KIND_ENTRY, "KaviInitialize", 50, 2, traced, traced_length, &exitFunction,
               static_cast<uint32_t>(sizeof exitFunction));
    int rc = KaviInit(exitName, exitFunction, 1);
    int16_t code = static_cast<int16_t>(rc);
    KAVI_TRACE(VULZ_KIND_EXIT, "KaviInitialize", 70, 1, &code, 2u);
    return rc;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG("KaviInitialize", VULE_NO_MEMORY, 0, 80, 0);
    return VULE_NO_MEMORY;
}
