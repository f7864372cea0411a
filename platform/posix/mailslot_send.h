// mailslot_send.h — the writer's side of a mailslot: one non-blocking send when the reader's
// queue has room, else an in-process overflow queue that a flusher thread delivers in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/mailslot_address.h"

namespace plat {

// mailslot_send: delivers or queues one message to `to`. 0; ERR_NOT_FOUND when nothing is bound
// there; ERR_NO_MEMORY when the process's overflow queue is full; other system errors.
uint32_t mailslot_send(const MailslotAddress &to, const void *data, size_t len);

// mailslot_dropped_to: how many messages this process wrote to `to` were dropped because the
// reader they were queued for went away first.
uint32_t mailslot_dropped_to(const MailslotAddress &to);

// mailslot_send_prepare: sets up the writer's state and its process-exit drain. Called on each
// mailslot create, so that the drain is registered before the handlers of whoever creates
// mailslots and therefore runs after them (the exit list runs in reverse order).
void mailslot_send_prepare();

}  // namespace plat
