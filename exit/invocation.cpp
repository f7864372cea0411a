// invocation.cpp — one command through the exit function and back as its full reply, the table
// of commands in progress, and the process-exit handler that answers what is still in it.
#include "exit/invocation.h"

#include <chrono>
#include <cstring>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "exit/records.h"
#include "exit/reply.h"
#include "exit/stats.h"
#include "exit/trace.h"
#include "platform/platform.h"

namespace kavi {

ActiveCommand active_commands[ACTIVE_SLOTS];

namespace {

// A failed wait for the mutex is not acted upon beyond leaving the table alone: the command
// still runs and is answered. An abandoned mutex is owned all the same.
bool lock_active() {
    uint32_t rc = plat::mutex_acquire(active_command_mutex);
    return rc == plat::OK || rc == plat::ABANDONED;
}

void unlock_active() {
    plat::mutex_release(active_command_mutex);
}

// enter_active: the slot that now holds the command, or -1 when none was free.
int enter_active(uint8_t *message, uint32_t correlation) {
    int slot = -1;
    if (!lock_active()) return slot;
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i) {
        if (active_commands[i].message == nullptr) {
            active_commands[i] = {message, correlation};
            slot = static_cast<int>(i);
            break;
        }
    }
    unlock_active();
    return slot;
}

// leave_active: frees the command's slot; false when the process-exit handler has answered the
// command already, so that it is answered exactly once.
bool leave_active(int slot, const uint8_t *message) {
    if (slot < 0 || !lock_active()) return true;
    bool still_ours = active_commands[slot].message == message;
    if (still_ours) active_commands[slot].message = nullptr;
    unlock_active();
    return still_ours;
}

// status_buffer: a fresh buffer for a status reply from task `task`, or null (logged).
uint8_t *status_buffer(const char task[8]) {
    VULC_ALCMEM request{};
    request.head.length = sizeof request;
    memcpy(request.head.task, task, sizeof request.head.task);
    request.size = STATUS_REPLY_LENGTH;
    uint32_t rc = vulcalcmem(&request);
    if (rc != VULC_OK) {
        KAVI_LOG("VulequetAtExit", rc, request.head.reason, 1700, 1, &request,
                 static_cast<uint32_t>(sizeof request));
        return nullptr;
    }
    return static_cast<uint8_t *>(request.buffer);
}

// answer_at_exit: answers the command in slot i, if any. The invocation that runs it may still
// be reading its message, so the status reply goes out in a buffer of its own built from a copy
// of the header; the copy and the clearing of the slot happen under one lock, so the reply
// answers the command that was in the slot when it was taken.
// Only a command addressed to `only_task` is answered, when it is not null.
void answer_at_exit(unsigned i, const char *only_task = nullptr) {
    if (!lock_active()) return;
    char task[8];
    bool occupied = active_commands[i].message != nullptr;
    if (occupied) memcpy(task, codec::read_header(active_commands[i].message).destination_name, 8);
    unlock_active();
    if (!occupied || (only_task != nullptr && memcmp(task, only_task, 8) != 0)) return;

    // Allocated outside the lock: no call into another service is made while holding it.
    uint8_t *answer = status_buffer(task);
    if (answer == nullptr) return;  // the invocation answers when its exit function returns
    if (!lock_active()) {
        release_message(answer, task, "VulequetAtExit", 1710);
        return;
    }
    uint8_t *message = active_commands[i].message;
    uint32_t correlation = active_commands[i].correlation;
    if (message != nullptr) {
        memcpy(answer, message, codec::FIRST_ELEMENT_OFFSET);
        active_commands[i].message = nullptr;
    }
    unlock_active();
    if (message == nullptr) {
        release_message(answer, task, "VulequetAtExit", 1720);
        return;
    }
    codec::set_element_block_length(answer, 4 + codec::STATUS_ELEMENT_LENGTH);
    VulequetSendReply(answer, correlation, VULE_EXIT_ENDED);
}

}  // namespace

void VulequetInvokeExit(void *argument) {
    auto *record = static_cast<InvocationRecord *>(argument);
    const char *name = exit_table[record->exit_index].name;
    KAVI_TRACE(VULZ_KIND_ENTRY, "VulequetInvokeExit", 984, 2, record,
               static_cast<uint32_t>(sizeof *record), name, static_cast<uint32_t>(strlen(name)));

    int slot = enter_active(record->message, record->correlation);
    Capacities capacities;
    measure_capacities(*record->block, &capacities);
    auto started = std::chrono::steady_clock::now();
    auto status = static_cast<uint16_t>(record->exit_function(record->block));
    stats_count(record->exit_index, status,
                static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now() - started)
                                          .count()));

    // The slot is given up before the send, not after it: from then on the process-exit handler
    // can no longer answer the command a second time.
    if (leave_active(slot, record->message)) {
        uint32_t length = build_full_reply(record->message, record->message_length, record->block,
                                           capacities, status, record->correlation);
        send_reply(record->message, length, record->destination_name, record->origin_name,
                   record->origin_node, "VulequetInvokeExit", 1320);
    }
    release_message(record->message, record->destination_name, "VulequetInvokeExit", 1337);

    KAVI_TRACE(VULZ_KIND_EXIT, "VulequetInvokeExit", 1344, 1, name,
               static_cast<uint32_t>(strlen(name)));
    plat::mem_free(record);
}

void VulequetAtExit() {
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i) answer_at_exit(i);
}

void answer_running_commands(const char task[8]) {
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i) answer_at_exit(i, task);
}

}  // namespace kavi
