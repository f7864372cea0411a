// termination.h — what termination leaves to the queue thread when it could not wait for it.
#pragma once

#include "exit/exit_table.h"

namespace kavi {

// end_deferred_termination: with the exit table mutex held, once the queue thread of a slot
// whose stop was deferred has ended: the rest of KaviTerminate, up to the freed slot.
void end_deferred_termination(ExitSlot *slot);

}  // namespace kavi
