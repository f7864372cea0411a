// mailslot_send.h — the writer's side of a mailslot: one overlapped write when the reader's
// queue has room, else an in-process queue that a flusher thread delivers in order.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/win32/mailslot_address.h"

namespace plat {

// open_writer: a write handle to the mailslot, overlapped when asked. 0; ERR_NOT_FOUND when no
// mailslot has that name or its reader is shutting it; other system errors.
uint32_t open_writer(const MailslotAddress &to, bool overlapped, HANDLE *out);

// mailslot_send: delivers or queues one message to `to`. 0; ERR_NOT_FOUND when no mailslot has
// that name; ERR_NO_MEMORY when the process's queue is full; other system errors.
uint32_t mailslot_send(const MailslotAddress &to, const void *data, size_t len);

// mailslot_dropped_to: how many messages this process wrote to `to` were dropped because the
// reader they were queued for went away first.
uint32_t mailslot_dropped_to(const MailslotAddress &to);

// mailslot_send_prepare: sets up the writer's state and its process-exit drain. Called on each
// mailslot create, so that the drain is registered before the exit handlers of whoever creates
// mailslots and therefore runs after them (the exit list runs in reverse order).
void mailslot_send_prepare();

}  // namespace plat
