// dispatcher.cpp — the single-thread dispatcher of an exit in run mode 0: the queue thread posts
// invocation records to the exit's work list, one thread takes them in order and runs them.
#include "exit/dispatcher.h"

#include <cstring>

#include "exit/exit_table.h"
#include "exit/invocation.h"
#include "exit/reply.h"
#include "exit/slot.h"
#include "exit/trace.h"
#include "kaviexit.h"

namespace kavi {
namespace {

constexpr const char *POST = "VuleSingleThreadPost";
constexpr const char *DISPATCHER = "VuleSingleThreadDispatcher";

// One record on a work list; the first two words belong to the list service.
struct WorkNode {
    void *links[2];
    InvocationRecord *record;
};

// The slot whose dispatcher runs on this thread; -1 on every other thread.
thread_local int32_t dispatcher_of = -1;

// The node of each slot's stop request, so that posting a stop never needs memory: the queue
// thread's end waits for the dispatcher, which ends only after taking the stop.
WorkNode stop_nodes[EXIT_SLOTS];

// answer_unrun: a command that will not run gets its status reply; a stop request is dropped.
void answer_unrun(InvocationRecord *record, uint16_t status) {
    if (record->kind != INVOCATION_STOP)
        VulequetSendReply(record->message, record->correlation, status);
    plat::mem_free(record);
}

void free_node(WorkNode *node, uint16_t index) {
    if (node != &stop_nodes[index]) plat::mem_free(node);
}

// take: the first node of the work list, taken off it; null when the list is empty.
WorkNode *take(ExitSlot &slot) {
    auto *node = static_cast<WorkNode *>(ExquDllGetFirstFromList(&slot.work_list));
    if (node != nullptr) ExquDllDeleteFromList(&slot.work_list, node);
    return node;
}

// finish: the dispatcher's last act. What is still queued (after a failure) is answered with
// VULE_EXIT_ENDED, and the ended event is set while the mutex is held, so a post that comes
// later sees it and answers its command itself instead of queuing it where nobody takes it.
// Once the event is set the slot's objects may be closed, so the mutex is released through the
// caller's copy of its handle (a mutex closed while owned lives until its release).
void finish(ExitSlot &slot, plat::Mutex *mutex, uint16_t index) {
    Lock lock(mutex);
    WorkNode *node;
    while (lock.held() && (node = take(slot)) != nullptr) {
        InvocationRecord *record = node->record;
        free_node(node, index);
        lock.release();
        answer_unrun(record, VULE_EXIT_ENDED);
        lock.acquire();
    }
    plat::event_set(slot.dispatcher_ended);
}

}  // namespace

bool on_dispatcher_of(uint16_t exit_index) {
    return dispatcher_of == exit_index;
}

void VuleSingleThreadPost(InvocationRecord *record) {
    KAVI_TRACE(VULZ_KIND_ENTRY, POST, 98, 1, KAVI_ITEM(*record));
    ExitSlot &slot = exit_table[record->exit_index];
    const bool stop = record->kind == INVOCATION_STOP;
    Lock lock(slot.dispatcher_mutex);
    // An abandonment is reported once, and a stop request must not be lost.
    if (lock.code() == plat::ABANDONED && stop) {
        KAVI_LOG(POST, 0, lock.code(), 167, 1, KAVI_ITEM(*record));
        lock.acquire();
    }
    uint16_t status = 0;  // not 0: the record is answered with it, not queued
    if (!lock.held()) {
        KAVI_LOG(POST, 0, lock.code(), 167, 1, KAVI_ITEM(*record));
        status = VULE_NO_COMMAND_MEMORY;
    } else if (plat::event_wait(slot.dispatcher_ended, 0) == plat::OK) {
        status = VULE_EXIT_ENDED;  // the dispatcher has ended on a failure
    } else {
        WorkNode *node = stop ? &stop_nodes[record->exit_index]
                              : static_cast<WorkNode *>(plat::alloc_zeroed(sizeof(WorkNode)));
        if (node == nullptr) {
            KAVI_LOG(POST, 0, 0, 153, 1, KAVI_ITEM(*record));
            status = VULE_NO_COMMAND_MEMORY;
        } else {
            node->record = record;
            if (stop) {
                ExquDllAddToFrontOfList(&slot.work_list, node);
            } else {
                ExquDllAddToEndOfList(&slot.work_list, node);
            }
        }
    }
    const bool posted = lock.held() && status == 0;
    lock.release();
    // Set after the release, or the woken dispatcher would block at once on the mutex still
    // held here: one more wake-up per command. The node is on the list before the set, so no
    // post goes unseen; a dispatcher that took the node meanwhile wakes once more to an empty
    // list. The event outlives the call: it is closed only once the queue thread, the one poster,
    // has ended.
    if (posted) plat::event_set(slot.work_posted);
    // Answered after the mutex is released: no lock is held while a reply is sent.
    if (status != 0) answer_unrun(record, status);
    KAVI_TRACE(VULZ_KIND_EXIT, POST, 172, 0);
}

void VuleSingleThreadDispatcher(void *start_record) {
    auto *start = static_cast<InvocationRecord *>(start_record);
    const uint16_t index = start->exit_index;
    ExitSlot &slot = exit_table[index];
    // Copied: once the dispatcher has ended, its slot may be freed and claimed again.
    char name[8];
    memcpy(name, slot.name, sizeof name);
    KAVI_TRACE(VULZ_KIND_ENTRY, DISPATCHER, 213, 2, KAVI_ITEM(*start), name, 8u);
    plat::Mutex *const mutex = slot.dispatcher_mutex;
    dispatcher_of = index;
    bool stopping = false;
    bool failed = false;
    while (!failed) {
        plat::event_wait(slot.work_posted, plat::WAIT_FOREVER);
        for (;;) {
            Lock lock(mutex);
            if (!lock.held()) {
                KAVI_LOG(DISPATCHER, 0, lock.code(), 371, 1, KAVI_ITEM(*start));
                failed = true;
                break;
            }
            WorkNode *node = take(slot);
            uint32_t rc = plat::event_reset(slot.work_posted);
            if (rc != plat::OK) {
                KAVI_LOG(DISPATCHER, 0, rc, 297, 1, KAVI_ITEM(*start));
                failed = stopping = true;
            }
            lock.release();
            if (node == nullptr) break;
            InvocationRecord *record = node->record;
            free_node(node, index);
            if (record->kind == INVOCATION_STOP) {
                stopping = true;
                plat::mem_free(record);
            } else if (stopping) {
                answer_unrun(record, VULE_EXIT_ENDED);
            } else {
                VulequetInvokeExit(record);  // replies, releases the message, frees the record
            }
            if (failed) break;
        }
        if (stopping) break;
    }
    finish(slot, mutex, index);
    KAVI_TRACE(VULZ_KIND_EXIT, DISPATCHER, 388, 1, name, 8u);
    plat::mem_free(start);
}

}  // namespace kavi
