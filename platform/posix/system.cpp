// system.cpp — memory, narrow upper-casing, the environment, pointer readability and the code
// page's lead bytes on POSIX.
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"
#include "platform/posix/fault.h"

namespace plat {

// A request for 0 bytes still gets a distinct block, so null always means failure.
void *alloc_zeroed(size_t size) {
    if (fault_hit(Fault::alloc)) return nullptr;
    return calloc(1, size != 0 ? size : 1);
}

void mem_free(void *p) {
    free(p);
}

// Only ASCII letters change: bytes of 0x80 and above are left alone whatever the locale says.
void upper_case(char *s) {
    if (s == nullptr) return;
    for (; *s != '\0'; ++s) {
        if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s - 'a' + 'A');
    }
}

bool env_get(const char *name, std::string *value) {
    if (name == nullptr) return false;
    const char *found = getenv(name);
    if (found == nullptr) return false;
    if (value != nullptr) value->assign(found);
    return true;
}

// The kernel reads the range on our behalf and answers EFAULT where a direct read would fault,
// which works for any address and under every sanitizer. Protection is per page, so one byte of
// each page the range touches is enough. A null pointer is never readable; a non-null pointer
// with len 0 is (nothing needs reading), as on Windows.
bool pointer_readable(const void *p, size_t len) {
    if (p == nullptr) return false;
    if (len == 0) return true;
    const uintptr_t first = reinterpret_cast<uintptr_t>(p);
    if (len - 1 > UINTPTR_MAX - first) return false;
    const uintptr_t last = first + (len - 1);
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    constexpr size_t BATCH = 64;
    char sink[BATCH];
    struct iovec local = {sink, 0};
    struct iovec remote[BATCH];
    uintptr_t probe = first;
    for (;;) {
        size_t n = 0;
        while (n < BATCH) {
            remote[n++] = {reinterpret_cast<void *>(probe), 1};
            uintptr_t next_page = (probe & ~(page - 1)) + page;
            // next_page wraps to 0 only after the top page, which is then the last probe.
            if (next_page == 0 || next_page > last) {
                probe = 0;
                break;
            }
            probe = next_page;
        }
        local.iov_len = n;
        if (process_vm_readv(getpid(), &local, 1, remote, n, 0) != static_cast<ssize_t>(n))
            return false;
        if (probe == 0) return true;
    }
}

// The POSIX backend runs with single-byte narrow strings: there are no lead bytes.
bool code_page_lead_bytes(bool lead[256]) {
    if (lead != nullptr) memset(lead, 0, 256 * sizeof(bool));
    return false;
}

}  // namespace plat
