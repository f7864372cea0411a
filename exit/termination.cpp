// termination.cpp — KaviWait, which blocks the exit program's thread, and KaviTerminate, which
// stops an exit's queue thread, gives back the slot's objects and frees the slot.
#include "exit/termination.h"

#include <climits>
#include <cstring>

#include "exit/codec.h"
#include "exit/dispatcher.h"
#include "exit/exit_table.h"
#include "exit/invocation.h"
#include "exit/trace.h"
#include "kaviexit.h"

namespace kavi {
namespace {

constexpr const char *FN = "KaviTerminate";
constexpr uint32_t STOP_BUFFER = 122;
constexpr uint32_t STOP_LENGTH = 120;  // header, element-block head, one stop element

uint32_t communication_failure(uint32_t rc) {
    return rc == VULC_NOT_STARTED ? VULE_NOT_REGISTERED : VULE_SYSTEM_ERROR;
}

// find_slot: the slot registered under the padded name that no termination has begun on.
ExitSlot *find_slot(const char padded[9]) {
    for (ExitSlot &slot : exit_table) {
        if (slot.terminating == 0 && memcmp(slot.name, padded, 9) == 0) return &slot;
    }
    return nullptr;
}

// send_stop: the stop message to the exit's own queue thread; *buffer gets the message, which
// the caller releases. 0 or the code KaviTerminate returns.
uint32_t send_stop(const char padded[9], void **buffer) {
    VULC_ALCMEM alloc{};
    alloc.head.length = sizeof alloc;
    memcpy(alloc.head.task, padded, 8);
    alloc.size = STOP_BUFFER;
    uint32_t rc = vulcalcmem(&alloc);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, alloc.head.reason, 830, 1, &alloc, static_cast<uint32_t>(sizeof alloc));
        return communication_failure(rc);
    }
    *buffer = alloc.buffer;
    auto *msg = static_cast<uint8_t *>(alloc.buffer);
    codec::write_element_block_head(msg, 4 + codec::STOP_ELEMENT_LENGTH);
    codec::write_stop_element(msg + codec::FIRST_ELEMENT_OFFSET);

    VULC_SNDDATA send{};
    send.head.length = sizeof send;
    memcpy(send.head.task, padded, 8);
    memcpy(send.dest_app, padded, 8);
    memcpy(send.dest_node, local_node_address, 24);
    send.send_length = STOP_LENGTH;
    send.buffer = alloc.buffer;
    rc = vulcsnddata(&send);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, send.head.reason, 840, 1, &send, static_cast<uint32_t>(sizeof send));
        return communication_failure(rc);
    }
    return VULE_OK;
}

// close_inbox: new senders are refused from now on, and the queue thread ends once it has
// taken what is in the inbox, even when the stop message never reaches it (a message that had
// to wait in this process for a full inbox is dropped when the inbox's earlier holder goes).
void close_inbox(const char padded[9]) {
    VULC_STOPCOM close{};
    close.head.length = sizeof close;
    memcpy(close.head.task, padded, 8);
    uint32_t rc = vulcclosecom(&close);
    if (rc != VULC_OK)
        KAVI_LOG(FN, rc, close.head.reason, 845, 1, &close, static_cast<uint32_t>(sizeof close));
}

// close_slot_objects: what termination closes once the queue thread has ended; the dispatcher
// ended event is the queue thread's own.
void close_slot_objects(ExitSlot *slot) {
    plat::event_close(slot->queue_ended);
    if (slot->dispatcher_mutex != nullptr) plat::mutex_close(slot->dispatcher_mutex);
    if (slot->work_posted != nullptr) plat::event_close(slot->work_posted);
    slot->queue_ended = nullptr;
    slot->dispatcher_mutex = nullptr;
    slot->work_posted = nullptr;
}

// release_stop: gives the stop message back; 0 or VULE_SYSTEM_ERROR (logged).
uint32_t release_stop(const char padded[9], void *stop) {
    VULC_FREEMEM release{};
    release.head.length = sizeof release;
    memcpy(release.head.task, padded, 8);
    release.buffer = stop;
    uint32_t rc = vulcfreemem(&release);
    if (rc == VULC_OK) return VULE_OK;
    KAVI_LOG(FN, rc, release.head.reason, 870, 1, &release, static_cast<uint32_t>(sizeof release));
    return VULE_SYSTEM_ERROR;
}

// end_exit: the last steps, with the exit table mutex held: the slot's objects once its queue
// thread has ended, the task at the service, the mailslot; then the slot is free. 0 or the
// result of a failure.
uint32_t end_exit(ExitSlot *slot, const char padded[9], bool queue_ended) {
    uint32_t result = VULE_OK;
    // A queue thread still running (its stop could not be sent) keeps the slot's objects and
    // closes them when vulcstopcom below ends its receive; until then the slot cannot be claimed.
    if (queue_ended) close_slot_objects(slot);
    VULC_STOPCOM stopcom{};
    stopcom.head.length = sizeof stopcom;
    memcpy(stopcom.head.task, padded, 8);
    uint32_t rc = vulcstopcom(&stopcom);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, stopcom.head.reason, 880, 1, &stopcom,
                 static_cast<uint32_t>(sizeof stopcom));
        result = communication_failure(rc);
    }
    plat::mailslot_close(slot->mailslot);
    slot->mailslot = nullptr;
    slot->name[0] = '\0';
    return result;
}

uint32_t terminate(const char *name) {
    char padded[9];
    if (name == nullptr || !make_padded_name(name, padded)) {
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, 0, 770, 1, &name, static_cast<uint32_t>(sizeof name));
        return VULE_INVALID_ARGUMENT;
    }
    VULC_CHECKTASK check{};
    check.head.length = sizeof check;
    memcpy(check.head.task, padded, 8);
    uint32_t rc = vulcchecktask(&check);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, check.head.reason, 790, 1, &check, static_cast<uint32_t>(sizeof check));
        return VULE_NOT_REGISTERED;
    }
    // No mutex yet: nothing was ever registered in this process.
    rc = exit_table_mutex != nullptr ? lock_mutex(exit_table_mutex) : plat::OK;
    if (rc != plat::OK) {
        KAVI_LOG(FN, VULE_SYSTEM_ERROR, rc, 800, 0);
        return VULE_SYSTEM_ERROR;
    }
    ExitSlot *slot = exit_table_mutex != nullptr ? find_slot(padded) : nullptr;
    if (slot == nullptr) {
        KAVI_LOG(FN, VULE_NOT_REGISTERED, 0, 810, 2, padded, 8u, exit_table,
                 static_cast<uint32_t>(sizeof exit_table));
        if (exit_table_mutex != nullptr) plat::mutex_release(exit_table_mutex);
        return VULE_NOT_REGISTERED;
    }
    slot->terminating = 1;  // from here on KaviSend refuses this exit

    void *stop = nullptr;
    uint32_t result = send_stop(padded, &stop);
    if (result == VULE_OK) close_inbox(padded);
    if (result == VULE_OK && on_dispatcher_of(static_cast<uint16_t>(slot - exit_table))) {
        // Called by the exit's own function on its dispatcher, which the queue thread waits
        // for: waiting here would wait for this very thread. The queue thread ends the exit
        // once the function has returned.
        slot->stop_deferred = true;
        result = release_stop(padded, stop);
        plat::mutex_release(exit_table_mutex);
        return result;
    }
    bool queue_ended = false;
    if (result == VULE_OK) {
        // Released while the queue thread drains: a command still running may call KaviSend,
        // which takes this mutex, and in run mode 0 the queue thread ends only after it.
        plat::mutex_release(exit_table_mutex);
        plat::event_wait(slot->queue_ended, plat::WAIT_FOREVER);
        queue_ended = true;
    } else {
        plat::mutex_release(exit_table_mutex);
    }
    // Commands still running on threads of their own (run modes other than 0) could not reply
    // once the task is stopped below: they are answered now, as at process exit, also when the
    // queue thread could not be told to stop.
    answer_running_commands(padded);
    bool locked = true;
    rc = lock_mutex(exit_table_mutex);
    if (rc != plat::OK) {
        KAVI_LOG(FN, VULE_SYSTEM_ERROR, rc, 850, 0);
        result = VULE_SYSTEM_ERROR;
        locked = false;
    }
    // A queue thread that was not stopped may have ended on its own; it sets its event under
    // this mutex.
    if (!queue_ended) queue_ended = plat::event_wait(slot->queue_ended, 0) == plat::OK;
    if (stop != nullptr && release_stop(padded, stop) != VULE_OK) result = VULE_SYSTEM_ERROR;
    uint32_t ended = end_exit(slot, padded, queue_ended);
    if (ended != VULE_OK) result = ended;
    if (locked) plat::mutex_release(exit_table_mutex);
    return result;
}

}  // namespace

void end_deferred_termination(ExitSlot *slot) {
    char padded[9];
    memcpy(padded, slot->name, sizeof padded);
    slot->stop_deferred = false;
    end_exit(slot, padded, true);
}

}  // namespace kavi

using namespace kavi;

extern "C" KAVI_API uint32_t KAVI_CALL KaviWait(const char *name, int32_t seconds) try {
    char traced[8];
    uint32_t traced_length = 0;
    if (KAVZ_TRACING(trace_control, VULZ_MASK_ENTRY | VULZ_MASK_EXIT))
        traced_length = copy_traced_name(name, traced);
    KAVI_TRACE(VULZ_KIND_ENTRY, "KaviWait", 710, 2, traced, traced_length, &seconds, 4u);
    // Positive seconds become milliseconds (at most what 32 bits hold); 0 and negative values
    // pass unchanged: 0 only polls, a negative value waits without limit.
    int32_t ms = seconds;
    if (seconds > 0) ms = seconds > INT32_MAX / 1000 ? INT32_MAX : seconds * 1000;
    uint32_t rc = vulcsemwait(0, ms);
    uint32_t result =
        rc == VULC_SEM_TIMEOUT || rc == plat::TIMEOUT ? VULE_WAIT_TIMEOUT : VULE_WAIT_ENDED;
    KAVI_TRACE(VULZ_KIND_EXIT, "KaviWait", 730, 2, &result, 4u, traced, traced_length);
    return result;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG("KaviWait", VULE_SYSTEM_ERROR, 0, 740, 0);
    return VULE_SYSTEM_ERROR;
}

extern "C" KAVI_API uint32_t KAVI_CALL KaviTerminate(const char *exitName) try {
    char traced[8];
    uint32_t traced_length = 0;
    if (KAVZ_TRACING(trace_control, VULZ_MASK_ENTRY | VULZ_MASK_EXIT))
        traced_length = copy_traced_name(exitName, traced);
    KAVI_TRACE(VULZ_KIND_ENTRY, FN, 760, 1, traced, traced_length);
    uint32_t result = terminate(exitName);
    KAVI_TRACE(VULZ_KIND_EXIT, FN, 990, 2, &result, 4u, traced, traced_length);
    return result;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG(FN, VULE_SYSTEM_ERROR, 0, 995, 0);
    return VULE_SYSTEM_ERROR;
}
