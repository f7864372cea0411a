// dispatcher.h — the single-thread dispatcher of an exit in run mode 0: its commands run one
// after the other, in posting order, on one thread.
#pragma once

#include "exit/records.h"

namespace kavi {

// VuleSingleThreadPost: queues a command record at the end of the exit's work list, a stop
// request (kind INVOCATION_STOP) at the front.
void VuleSingleThreadPost(InvocationRecord *record);
// VuleSingleThreadDispatcher: thread function; owns and frees its start record.
void VuleSingleThreadDispatcher(void *start_record);
// on_dispatcher_of: whether the calling thread is the dispatcher of the exit table slot.
bool on_dispatcher_of(uint16_t exit_index);

}  // namespace kavi
