// invocation.cpp — one command through the exit function and back as its full reply, the table
// of commands in progress, and the process-exit handler that answers what is still in it.
#include "exit/invocation.h"

#include <chrono>
#include <cstring>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "exit/records.h"
#include "exit/reply.h"
#include "exit/slot.h"
#include "exit/stats.h"
#include "exit/trace.h"
#include "platform/platform.h"
#include "services/kavcacm/request_block.h"

namespace kavi {

ActiveCommand active_commands[ACTIVE_SLOTS];

namespace {

// The lock of the table. A failed wait for the mutex is not acted upon beyond leaving the table
// alone: the command still runs and is answered.
struct ActiveLock : Lock {
    ActiveLock() : Lock(active_command_mutex, Abandoned::owned) {}
};

}  // namespace

ActiveTicket enter_active(uint8_t *message, uint32_t correlation) {
    static uint64_t last_serial = 0;  // under the mutex
    ActiveTicket ticket{-1, 0};
    ActiveLock lock;
    if (!lock.held()) return ticket;
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i) {
        if (active_commands[i].message == nullptr) {
            ticket = {static_cast<int32_t>(i), ++last_serial};
            active_commands[i] = {message, correlation, ticket.serial, false, {}};
            memcpy(active_commands[i].task, codec::read_header(message).destination_name, 8);
            break;
        }
    }
    return ticket;
}

bool begin_reply(const ActiveTicket &ticket) {
    if (ticket.slot < 0) return true;
    ActiveLock lock;
    if (!lock.held()) return true;
    ActiveCommand &command = active_commands[ticket.slot];
    bool still_ours = command.message != nullptr && command.serial == ticket.serial;
    if (still_ours) command.replying = true;
    return still_ours;
}

void end_reply(const ActiveTicket &ticket) {
    if (ticket.slot < 0) return;
    ActiveLock lock;
    if (!lock.held()) return;
    ActiveCommand &command = active_commands[ticket.slot];
    if (command.serial == ticket.serial) command = {};
}

namespace {

// replying_to: whether an invocation of the task is sending its own reply.
bool replying_to(const char task[8]) {
    ActiveLock lock;
    if (!lock.held()) return false;
    for (const ActiveCommand &command : active_commands) {
        if (command.message != nullptr && command.replying && memcmp(command.task, task, 8) == 0)
            return true;
    }
    return false;
}

// status_buffer: a fresh buffer for a status reply from task `task`, or null (logged).
uint8_t *status_buffer(const char task[8]) {
    auto request = kavc::request_for<VULC_ALCMEM>(task);
    request.size = STATUS_REPLY_LENGTH;
    uint32_t rc = vulcalcmem(&request);
    if (rc != VULC_OK) {
        KAVI_LOG("VulequetAtExit", rc, request.head.reason, 1700, 1, KAVI_ITEM(request));
        return nullptr;
    }
    return static_cast<uint8_t *>(request.buffer);
}

// answer_at_exit: answers the command in slot i, if any. The invocation that runs it may still
// be reading its message, so the status reply goes out in a buffer of its own built from a copy
// of the header. The buffer is allocated outside the lock, and meanwhile the command may have
// been answered and another taken its slot: only the very command found first is answered.
// Only a command addressed to `only_task` is answered, when it is not null.
void answer_at_exit(unsigned i, const char *only_task = nullptr) {
    ActiveLock lock;
    if (!lock.held()) return;
    const ActiveCommand found = active_commands[i];
    lock.release();
    const char *task = found.task;
    // A command whose own reply is on its way is its invocation's to answer.
    if (found.message == nullptr || found.replying ||
        (only_task != nullptr && memcmp(task, only_task, 8) != 0))
        return;

    // Allocated outside the lock: no call into another service is made while holding it.
    uint8_t *answer = status_buffer(task);
    if (answer == nullptr) return;  // the invocation answers when its exit function returns
    plat::pause_here(plat::Pause::terminate_answering);
    if (!lock.acquire()) {
        release_message(answer, task, "VulequetAtExit", 1710);
        return;
    }
    ActiveCommand &now = active_commands[i];
    bool same = now.message == found.message && now.serial == found.serial && !now.replying;
    if (same) {
        memcpy(answer, found.message, codec::FIRST_ELEMENT_OFFSET);
        now = {};
    }
    lock.release();
    if (!same) {
        release_message(answer, task, "VulequetAtExit", 1720);
        return;
    }
    codec::set_element_block_length(answer, 4 + codec::STATUS_ELEMENT_LENGTH);
    VulequetSendReply(answer, found.correlation, VULE_EXIT_ENDED);
}

}  // namespace

void VulequetInvokeExit(void *argument) {
    auto *record = static_cast<InvocationRecord *>(argument);
    // The name the command was addressed to, copied into the record: the exit table's entry may
    // be rewritten meanwhile by a termination or registration.
    const char *name = record->destination_name;
    KAVI_TRACE(VULZ_KIND_ENTRY, "VulequetInvokeExit", 984, 2, KAVI_ITEM(*record), name, 8u);

    if (record->active.serial == 0)
        record->active = enter_active(record->message, record->correlation);
    Capacities capacities;
    measure_capacities(*record->block, &capacities);
    auto started = std::chrono::steady_clock::now();
    auto status = static_cast<uint16_t>(record->exit_function(record->block));
    stats_count(record->exit_index, status,
                static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now() - started)
                                          .count()));

    // The slot is claimed for the reply before the send: from then on neither termination nor
    // the process-exit handler answers the command a second time, and termination waits for
    // the reply to go out before it stops the task.
    if (begin_reply(record->active)) {
        uint32_t length = build_full_reply(record->message, record->message_length, record->block,
                                           capacities, status, record->correlation);
        send_reply(record->message, length, record->destination_name, record->origin_name,
                   record->origin_node, "VulequetInvokeExit", 1320);
        end_reply(record->active);
    }
    release_message(record->message, record->destination_name, "VulequetInvokeExit", 1337);

    KAVI_TRACE(VULZ_KIND_EXIT, "VulequetInvokeExit", 1344, 1, name, 8u);
    plat::mem_free(record);
}

void VulequetAtExit() {
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i) answer_at_exit(i);
}

void answer_running_commands(const char task[8]) {
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i) answer_at_exit(i, task);
    // A reply that an invocation is sending right now must leave before the task is stopped.
    while (replying_to(task)) plat::sleep_ms(1);
}

}  // namespace kavi
