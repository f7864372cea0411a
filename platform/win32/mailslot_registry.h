// mailslot_registry.h — the node's registry of mailslots: the system cannot list mailslots, so
// each creator leaves an entry (its process and the mailslot's identity) in a directory of the
// node, removed before the mailslot is closed. An entry whose mailslot is gone (its process died)
// is stale: readers check that the mailslot exists, a lister removes it, and the next creator of
// the name replaces it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

struct RegistryEntry {
    uint32_t pid;
    uint64_t identity;
};

// registry_add: records the entry, replacing a stale one. 0 or a system error.
uint32_t registry_add(const std::string &entry, const RegistryEntry &value);
// registry_remove: forgets the entry if it still holds `identity`, and not one that replaced it.
void registry_remove(const std::string &entry, uint64_t identity);
// registry_read: 0 and *value; ERR_NOT_FOUND when there is no entry; other system errors.
uint32_t registry_read(const std::string &entry, RegistryEntry *value);
// registry_entries: the names of every entry, stale ones included. 0 or a system error.
uint32_t registry_entries(std::vector<std::string> *out);
// registry_entry_room: the longest entry whose file's path the system's file calls take.
size_t registry_entry_room();
// registry_new_identity: an identity no other mailslot of the machine had or will have.
uint64_t registry_new_identity();

}  // namespace plat
