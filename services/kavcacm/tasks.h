// tasks.h — the tasks this process has started: each owns its inbox, a mailslot whose name
// makes the task known (and unique) on the node and vanishes with the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace kavc {

struct Task {
    char name[8];      // canonical: upper-cased, blank-padded
    uintptr_t handle;  // receive and wait handle: never 0, never reused within the process
    plat::Mailslot *inbox;
    std::atomic<bool> stopped{false};
    // The inbox is read whole into the scratch, one receive per message, and the message copied
    // into a buffer of its own size: a copy costs far less than asking for the size first. A
    // wait reads ahead, so `held` bytes may be waiting there for the next receive.
    std::mutex reading;  // guards scratch and held; a wait holds it while it blocks
    char *scratch;       // MAILSLOT_MAX_MESSAGE bytes
    size_t held = 0;     // length of the message in scratch; 0 when none

    Task(const char task_name[8], uintptr_t task_handle, plat::Mailslot *mailslot, char *buffer);
    ~Task();  // closes the inbox: the name is free on the node again
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
};

using TaskRef = std::shared_ptr<Task>;

// task_start: 0, or the platform's code (ERR_ALREADY_EXISTS: the name is started on the node;
// ERR_NO_MEMORY).
uint32_t task_start(const char name[8], TaskRef *out);
// task_stop: false when this process has not started the name. A thread still inside a call
// on the task is woken; the inbox closes when the last call leaves.
bool task_stop(const char name[8]);
// task_find, task_by_handle: the task or null. Names compare in their canonical form.
TaskRef task_find(const char name[8]);
TaskRef task_by_handle(uintptr_t handle);
bool task_started_here(const char name[8]);

}  // namespace kavc
