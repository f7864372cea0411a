// mailslot_list.cpp — the node's mailslots, from the node's registry; an entry whose mailslot no
// longer exists (its process died) is left out.
#include <string>
#include <vector>

#include "platform/common/text.h"
#include "platform/platform.h"
#include "platform/win32/mailslot_address.h"
#include "platform/win32/mailslot_registry.h"

namespace plat {

uint32_t mailslot_list(const char *prefix, std::vector<MailslotInfo> *out) {
    if (out == nullptr) return ERR_INVALID_PARAMETER;
    out->clear();
    std::vector<std::string> entries;
    if (uint32_t rc = registry_entries(&entries); rc != OK) return rc;
    for (const std::string &entry : entries) {
        std::string path = MAILSLOT_PATH_PREFIX + mailslot_name_decode(entry);
        if (!has_prefix_nocase(path, prefix != nullptr ? prefix : "")) continue;
        RegistryEntry value;
        if (!mailslot_exists(path.c_str()) || registry_read(entry, &value) != OK) continue;
        out->push_back({std::move(path), value.pid});
    }
    return OK;
}

}  // namespace plat
