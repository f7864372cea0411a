// termination.cpp — KaviWait, which blocks the exit program's thread, and KaviTerminate, which
// stops an exit's queue thread, gives back the slot's objects and frees the slot.
#include "exit/termination.h"

#include <climits>
#include <cstring>

#include "exit/codec.h"
#include "exit/dispatcher.h"
#include "exit/exit_table.h"
#include "exit/invocation.h"
#include "exit/slot.h"
#include "exit/trace.h"
#include "kaviexit.h"
#include "services/kavcacm/request_block.h"

namespace kavi {
namespace {

constexpr const char *FN = "KaviTerminate";
constexpr uint32_t STOP_BUFFER = 122;
constexpr uint32_t STOP_LENGTH = 120;  // header, element-block head, one stop element

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
    auto alloc = kavc::request_for<VULC_ALCMEM>(padded);
    alloc.size = STOP_BUFFER;
    uint32_t rc = vulcalcmem(&alloc);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, alloc.head.reason, 830, 1, KAVI_ITEM(alloc));
        return service_failure(rc);
    }
    *buffer = alloc.buffer;
    auto *msg = static_cast<uint8_t *>(alloc.buffer);
    codec::write_element_block_head(msg, 4 + codec::STOP_ELEMENT_LENGTH);
    codec::write_stop_element(msg + codec::FIRST_ELEMENT_OFFSET);

    auto send = kavc::request_for<VULC_SNDDATA>(padded);
    memcpy(send.dest_app, padded, 8);
    memcpy(send.dest_node, local_node_address, 24);
    send.send_length = STOP_LENGTH;
    send.buffer = alloc.buffer;
    rc = vulcsnddata(&send);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, send.head.reason, 840, 1, KAVI_ITEM(send));
        return service_failure(rc);
    }
    return VULE_OK;
}

// close_inbox: new senders are refused from now on, and the queue thread ends once it has
// taken what is in the inbox, even when the stop message never reaches it (a message that had
// to wait in this process for a full inbox is dropped when the inbox's earlier holder goes).
void close_inbox(const char padded[9]) {
    auto close = kavc::request_for<VULC_STOPCOM>(padded);
    uint32_t rc = vulcclosecom(&close);
    if (rc != VULC_OK) KAVI_LOG(FN, rc, close.head.reason, 845, 1, KAVI_ITEM(close));
}

// release_stop: gives the stop message back; 0 or VULE_SYSTEM_ERROR (logged).
uint32_t release_stop(const char padded[9], void *stop) {
    auto release = kavc::request_for<VULC_FREEMEM>(padded);
    release.buffer = stop;
    uint32_t rc = vulcfreemem(&release);
    if (rc == VULC_OK) return VULE_OK;
    KAVI_LOG(FN, rc, release.head.reason, 870, 1, KAVI_ITEM(release));
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
    auto stopcom = kavc::request_for<VULC_STOPCOM>(padded);
    uint32_t rc = vulcstopcom(&stopcom);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, stopcom.head.reason, 880, 1, KAVI_ITEM(stopcom));
        result = service_failure(rc);
    }
    plat::mailslot_close(slot->mailslot);
    give_back_slot(slot);
    return result;
}

uint32_t terminate(const char *name) {
    char padded[9];
    if (name == nullptr || !make_padded_name(name, padded)) {
        KAVI_LOG(FN, VULE_INVALID_ARGUMENT, 0, 770, 1, KAVI_ITEM(name));
        return VULE_INVALID_ARGUMENT;
    }
    auto check = kavc::request_for<VULC_CHECKTASK>(padded);
    uint32_t rc = vulcchecktask(&check);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, check.head.reason, 790, 1, KAVI_ITEM(check));
        return VULE_NOT_REGISTERED;
    }
    Lock lock(exit_table_mutex);
    // A mutex not created yet (an invalid handle): nothing was ever registered in this process.
    if (!lock.held() && lock.code() != plat::ERR_INVALID_HANDLE) {
        KAVI_LOG(FN, VULE_SYSTEM_ERROR, lock.code(), 800, 0);
        return VULE_SYSTEM_ERROR;
    }
    ExitSlot *slot = lock.held() ? find_slot(padded) : nullptr;
    if (slot == nullptr) {
        KAVI_LOG(FN, VULE_NOT_REGISTERED, 0, 810, 2, padded, 8u, KAVI_ITEM(exit_table));
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
        return release_stop(padded, stop);
    }
    // Released while the queue thread drains: a command still running may call KaviSend,
    // which takes this mutex, and in run mode 0 the queue thread ends only after it.
    lock.release();
    bool queue_ended = false;
    if (result == VULE_OK) {
        plat::event_wait(slot->queue_ended, plat::WAIT_FOREVER);
        queue_ended = true;
    }
    // Commands still running on threads of their own (run modes other than 0) could not reply
    // once the task is stopped below: they are answered now, as at process exit, also when the
    // queue thread could not be told to stop.
    answer_running_commands(padded);
    if (!lock.acquire()) {
        KAVI_LOG(FN, VULE_SYSTEM_ERROR, lock.code(), 850, 0);
        result = VULE_SYSTEM_ERROR;
    }
    // A queue thread that was not stopped may have ended on its own; it sets its event under
    // this mutex.
    if (!queue_ended) queue_ended = plat::event_wait(slot->queue_ended, 0) == plat::OK;
    if (stop != nullptr && release_stop(padded, stop) != VULE_OK) result = VULE_SYSTEM_ERROR;
    uint32_t ended = end_exit(slot, padded, queue_ended);
    if (ended != VULE_OK) result = ended;
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
    TracedName traced(name);
    KAVI_TRACE(VULZ_KIND_ENTRY, "KaviWait", 710, 2, traced.text, traced.length, &seconds, 4u);
    // Positive seconds become milliseconds (at most what 32 bits hold); 0 and negative values
    // pass unchanged: 0 only polls, a negative value waits without limit.
    int32_t ms = seconds;
    if (seconds > 0) ms = seconds > INT32_MAX / 1000 ? INT32_MAX : seconds * 1000;
    uint32_t rc = vulcsemwait(0, ms);
    uint32_t result = rc == VULC_SEM_TIMEOUT ? VULE_WAIT_TIMEOUT : VULE_WAIT_ENDED;
    KAVI_TRACE(VULZ_KIND_EXIT, "KaviWait", 730, 2, &result, 4u, traced.text, traced.length);
    return result;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG("KaviWait", VULE_SYSTEM_ERROR, 0, 740, 0);
    return VULE_SYSTEM_ERROR;
}

extern "C" KAVI_API uint32_t KAVI_CALL KaviTerminate(const char *exitName) try {
    TracedName traced(exitName);
    KAVI_TRACE(VULZ_KIND_ENTRY, FN, 760, 1, traced.text, traced.length);
    uint32_t result = terminate(exitName);
    KAVI_TRACE(VULZ_KIND_EXIT, FN, 990, 2, &result, 4u, traced.text, traced.length);
    return result;
} catch (...) {
    // No exception leaves a C call; the one that can come is a failed allocation.
    KAVI_LOG(FN, VULE_SYSTEM_ERROR, 0, 995, 0);
    return VULE_SYSTEM_ERROR;
}
