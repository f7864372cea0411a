// mailslot_identity.cpp — which mailslot holds a path now: the identity its creator left in the
// node's registry, when that mailslot still exists.
#include "platform/platform.h"
#include "platform/win32/mailslot_address.h"
#include "platform/win32/mailslot_registry.h"

namespace plat {

uint32_t mailslot_identity(const char *path, uint64_t *identity) {
    MailslotAddress address;
    if (identity == nullptr) return ERR_INVALID_PARAMETER;
    if (uint32_t rc = mailslot_address(path, &address); rc != OK) return rc;
    if (!mailslot_exists(path)) return ERR_NOT_FOUND;
    RegistryEntry entry;
    if (uint32_t rc = registry_read(address.entry, &entry); rc != OK) return rc;
    *identity = entry.identity;
    return OK;
}

}  // namespace plat
