// wait_list.h — the response wait list: where a KaviSend call waits for the answer that bears
// its correlation, and where the queue thread hands answers over.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kavi {

constexpr uint32_t RL_OK = 0;
constexpr uint32_t RL_FAILED = 7;      // the list's mutex, the entry's event or memory failed
constexpr uint32_t RL_NOT_FOUND = 257; // no entry with the key (or the name)

// VuleRLAdd: adds an entry for name (padded exit name) and key; *event gets its event.
uint32_t VuleRLAdd(const char *name, uint32_t key, plat::Event **event);
// VuleRLDel: takes the oldest entry with the key out; out arguments may be null. The message,
// if any, belongs to the caller afterwards.
uint32_t VuleRLDel(const char *name, uint32_t key, uint16_t *code, uint8_t **message,
                   const uint8_t **block_wire);
// VuleRLChange: records an answer in the oldest entry with the key and wakes its waiter.
// block_wire is the wire image of the answer's parameter block inside message, or null.
uint32_t VuleRLChange(const char *name, uint32_t key, uint16_t code, uint8_t *message,
                      const uint8_t *block_wire);
// VuleRLTermExit: wakes every waiter of the exit with VULE_EXIT_ENDED.
uint32_t VuleRLTermExit(const char *name);

}  // namespace kavi
