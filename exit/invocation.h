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
// task (a padded exit name), as VulequetAtExit does; their invocations then send no reply. Returns
// once the replies that invocations were sending meanwhile have gone out.
void answer_running_commands(const char task[8]);

// The commands whose reply is not sent yet, under active_command_mutex. A slot whose message is
// null is free. VulequetAtExit answers a command by clearing its slot, which tells the
// invocation still running it that its reply has been sent. The serial tells one command from
// a later one that took the same slot (its buffer may even lie at the same address).
struct ActiveCommand {
    uint8_t *message;
    uint32_t correlation;
    uint64_t serial;
    bool replying;  // its invocation sends its reply: nobody else answers it
    char task[8];   // the exit the command was addressed to (its message is read only before)
};
constexpr unsigned ACTIVE_SLOTS = 64;
extern ActiveCommand active_commands[ACTIVE_SLOTS];

// A command's place in the table; serial 0: not entered (a zeroed record's ticket).
struct ActiveTicket {
    int32_t slot;
    uint64_t serial;
};
// enter_active: records a command; its ticket has slot -1 when the table was full.
ActiveTicket enter_active(uint8_t *message, uint32_t correlation);
// begin_reply: claims the command's own reply; false when it was answered already (by
// termination or at process exit), so that it is answered exactly once. end_reply, once the
// reply went out, frees the slot.
bool begin_reply(const ActiveTicket &ticket);
void end_reply(const ActiveTicket &ticket);

}  // namespace kavi
