// records.h — the records the queue thread hands to the threads it starts: the queue start
// record (registration → queue thread) and the invocation record (queue thread → invocation
// or dispatcher). Both are allocated zeroed with plat::alloc_zeroed and freed by their consumer.
#pragma once

#include <cstdint>

#include "exit/invocation.h"
#include "kaviexit.h"
#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"

namespace kavi {

struct QueueStartRecord {
    char name[9];  // padded exit name
    plat::Mailslot *mailslot;
    VULE_EXIT_FUNCTION exit_function;
    plat::Event *queue_ended;
    uint32_t reserved;  // always 0
    VULC_HANDLE receive_handle;
    VULC_HANDLE wait_handle;  // 0: the queue thread does not call vulcsocwait
    uint32_t run_mode;
    uint16_t exit_index;
    uint32_t slot_generation;  // the slot's generation at registration (see ExitSlot)
};

constexpr uint32_t INVOCATION_COMMAND = 0;
constexpr uint32_t INVOCATION_STOP = 1;  // stop request for the dispatcher

struct InvocationRecord {
    VULE_EXIT_FUNCTION exit_function;
    _VULE_PARAMETERS32 *block;  // what the exit function gets: &native_block
    uint8_t *message;           // the received command, the communication service's buffer
    uint32_t correlation;       // correlation_id of the block as received
    char destination_name[8];
    char origin_name[8];
    char origin_node[24];
    uint32_t run_mode;
    uint16_t exit_index;
    uint32_t kind;
    uint32_t message_length;  // bytes received
    // The command's place in the active-command table. A command handed to a thread of its own
    // is entered by the queue thread before the thread starts, so that termination, which
    // answers what is in the table, cannot miss a command whose thread has not run yet.
    ActiveTicket active;
    // The native view of the block in the message: its pointer fields point into `message`.
    // Kept here so that a command allocates nothing but its record.
    _VULE_PARAMETERS32 native_block;
};

}  // namespace kavi
