// answer_wait.h — how a KaviSend call waits for its answer: without limit while the task that
// got its command can still answer, and no longer once that task is gone.
#pragma once

#include "exit/wait_list.h"

namespace kavi {

// await_answer: returns once the entry has its answer, or VULE_EXIT_ENDED because none can come
// any more: no task holds the target's name on the node, or another start of it does (the one
// that got the command ended, and its inbox with it).
void await_answer(WaitEntry *entry, plat::Event *answered, const char padded_caller[9],
                  const char padded_target[9], const char node[25]);

}  // namespace kavi
