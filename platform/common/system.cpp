// system.cpp — what the system services do alike on every system: memory blocks from the C heap
// (through the fault seam), ASCII upper-casing and the texts of the codes every backend shares.
#include <stdlib.h>

#include "platform/common/backend.h"
#include "platform/common/fault.h"
#include "platform/platform.h"

namespace plat {

// A request for 0 bytes still gets a distinct block, so null always means failure.
void *alloc_zeroed(size_t size) {
    if (fault_hit(Fault::alloc)) return nullptr;
    return calloc(1, size != 0 ? size : 1);
}

void mem_free(void *p) {
    free(p);
}

// Only ASCII letters change: bytes of 0x80 and above are left alone whatever the locale or code
// page says.
void upper_case(char *s) {
    if (s == nullptr) return;
    for (; *s != '\0'; ++s) {
        if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s - 'a' + 'A');
    }
}

const char *error_text(uint32_t code) {
    switch (code) {
        case OK:
            return "no error";
        case ERR_NOT_FOUND:
            return "not found";
        case ERR_ACCESS_DENIED:
            return "access denied";
        case ERR_NO_MEMORY:
            return "out of memory";
        case ERR_INVALID_PARAMETER:
            return "invalid name or argument";
        case ERR_ALREADY_EXISTS:
            return "already exists";
        default:
            return system_error_text(code);
    }
}

}  // namespace plat
