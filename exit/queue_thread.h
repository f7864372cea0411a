// queue_thread.h — the command queue thread: one per registered exit, it receives every message
// for the exit and hands commands to invocations, answers to the wait list.
#pragma once

namespace kavi {

// VuleQueThread: thread function; owns and frees its QueueStartRecord.
void VuleQueThread(void *start_record);

}  // namespace kavi
