// answer_wait.h — how a KaviSend call waits for its answer: without limit while the task that
// got its command can still answer, and no longer once that task is gone.
#pragma once

#include "exit/wait_list.h"

namespace kavi {

// What the communication service told about a command it sent.
struct SentCommand {
    uint32_t message_id = 0;
    uint32_t dropped_before = 0;  // messages of this process to the target dropped before it
};

// await_answer: returns once the entry has its answer, or VULE_EXIT_ENDED because none can come
// any more: no task holds the target's name on the node, another start of it does, or messages
// to it were dropped since the command was sent (the task they waited for ended, and the one
// that got the command with it), or the target's node could not be asked for several seconds in
// a row. dropped_before is the count the send reported.
void await_answer(WaitEntry *entry, plat::Event *answered, const char padded_caller[9],
                  const char padded_target[9], const char node[25], uint32_t dropped_before);

}  // namespace kavi
