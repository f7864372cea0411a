// invocation.h — one command through the exit function, and the table of commands in progress.
#pragma once

#include <cstdint>

namespace kavi {

// VulequetInvokeExit: runs the command of an InvocationRecord, replies, releases the message and
// frees the record. A thread function in run modes other than 0; the dispatcher calls it directly.
void VulequetInvokeExit(void *record);
// VulequetAtExit: answers every command still active with VULE_EXIT_ENDED (process exit).
void VulequetAtExit();
// answer_running_commands: answers with VULE_EXIT_ENDED every active command addressed to the
// task (a padded exit name), as VulequetAtExit does; their invocations then send no reply.
void answer_running_commands(const char task[8]);

// The commands whose reply is not sent yet, under active_command_mutex. A slot whose message is
// null is free. VulequetAtExit answers a command by clearing its slot, which tells the
// invocation still running it that its reply has been sent.
struct ActiveCommand {
    uint8_t *message;
    uint32_t correlation;
};
constexpr unsigned ACTIVE_SLOTS = 64;
extern ActiveCommand active_commands[ACTIVE_SLOTS];

}  // namespace kavi
