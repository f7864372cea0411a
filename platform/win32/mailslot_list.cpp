// mailslot_list.cpp — the node's mailslots, from the node's registry; an entry whose mailslot no
// longer exists (its process died) is left out and removed.
#include <string>
#include <vector>

#include "platform/common/text.h"
#include "platform/platform.h"
#include "platform/win32/mailslot_address.h"
#include "platform/win32/mailslot_registry.h"
#include "platform/win32/mailslot_send.h"

namespace plat {

uint32_t mailslot_list(const char *prefix, std::vector<MailslotInfo> *out) {
    if (out == nullptr) return ERR_INVALID_PARAMETER;
    out->clear();
    std::vector<std::string> entries;
    if (uint32_t rc = registry_entries(&entries); rc != OK) return rc;
    for (const std::string &entry : entries) {
        std::string path = MAILSLOT_PATH_PREFIX + mailslot_name_decode(entry);
        if (!has_prefix_nocase(path, prefix != nullptr ? prefix : "")) continue;
        // The entry is read before the mailslot is looked for: if a new creator took the name
        // in between, its entry holds another identity and is not removed.
        RegistryEntry value;
        MailslotAddress address;
        HANDLE h;
        if (registry_read(entry, &value) != OK || mailslot_address(path.c_str(), &address) != OK)
            continue;
        uint32_t rc = open_writer(address, false, &h);
        if (rc == ERR_NOT_FOUND) registry_remove(entry, value.identity);
        if (rc != OK) continue;
        CloseHandle(h);
        out->push_back({std::move(path), value.pid});
    }
    return OK;
}

}  // namespace plat
