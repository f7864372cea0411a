// wait_list.h — the response wait list: where a KaviSend call waits for the answer that bears
// its correlation, and where the queue thread hands answers over.
//
// Many calls share a correlation (every block that starts zeroed sends under the same key), so
// a call holds on to the entry it added and takes out only that one, and an answer goes to the
// call whose command it answers: the reply carries back the message id its command was sent
// with. An answer without one goes to the oldest call of its exit and key that has none yet.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kavi {

constexpr uint32_t RL_OK = 0;
constexpr uint32_t RL_FAILED = 7;       // the list's mutex, the entry's event or memory failed
constexpr uint32_t RL_NOT_FOUND = 257;  // no entry with the key (or the name)
constexpr uint32_t RL_ENDED = 0x8001;   // VuleRLAdd: the exit's queue thread has ended

// One waiting call; only its own caller holds the pointer.
struct WaitEntry;

// VuleRLAdd: adds an entry for name (padded exit name) and key; *entry and *event get it and its
// event. RL_ENDED once VuleRLTermExit has closed the name: no answer could reach the entry.
uint32_t VuleRLAdd(const char *name, uint32_t key, WaitEntry **entry, plat::Event **event);
// VuleRLSent: the entry's command went out with this message id (not 0).
void VuleRLSent(WaitEntry *entry, uint32_t message_id);
// VuleRLDel: takes the caller's own entry out and closes its event; out arguments may be null.
// The message, if any, belongs to the caller afterwards.
uint32_t VuleRLDel(const char *name, uint32_t key, WaitEntry *entry, uint16_t *code,
                   uint8_t **message, const uint8_t **block_wire);
// VuleRLChange: records an answer for a call of the exit with the key and wakes it: the call
// whose command went out with message_id, or, for 0, the oldest that has no answer yet.
// block_wire is the wire image of the answer's parameter block inside message, or null.
// RL_OK also when the answer is held back until a call still sending under the key knows
// its message id; one that nobody claims is released then.
uint32_t VuleRLChange(const char *name, uint32_t key, uint16_t code, uint8_t *message,
                      const uint8_t *block_wire, uint32_t message_id);
// VuleRLTermExit: wakes every waiter of the exit that has no answer yet with VULE_EXIT_ENDED,
// and closes the name: later adds get RL_ENDED until VuleRLOpenExit.
uint32_t VuleRLTermExit(const char *name);
// VuleRLOpenExit: a new registration of the name; its calls may wait again.
void VuleRLOpenExit(const char *name);
// VuleRLEndWait: the caller gives up on its entry: it gets VULE_EXIT_ENDED unless an answer
// came first. Its event is set either way.
void VuleRLEndWait(WaitEntry *entry);

}  // namespace kavi
