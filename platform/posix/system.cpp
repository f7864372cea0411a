// system.cpp — system error texts, the environment, pointer readability and the code
// page's lead bytes on POSIX.
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>

#include "platform/common/backend.h"
#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace plat {

const char *system_error_text(uint32_t code) {
    if ((code & SYSTEM_ERROR_BASE) != 0) {
        const char *text = strerrordesc_np(static_cast<int>(code & ~SYSTEM_ERROR_BASE));
        if (text != nullptr) return text;
    }
    return "system error";
}

bool env_get(const char *name, std::string *value) {
    if (name == nullptr) return false;
    const char *found = getenv(name);
    if (found == nullptr) return false;
    if (value != nullptr) value->assign(found);
    return true;
}

uint32_t env_set(const char *name, const char *value) {
    if (name == nullptr || value == nullptr) return ERR_INVALID_PARAMETER;
    return setenv(name, value, 1) == 0 ? OK : from_errno(errno);
}

namespace {

// The kernel reads the ranges on our behalf and answers EFAULT where a direct read would fault,
// which works for any address and under every sanitizer. Protection is per page, so one byte of
// each page a range touches is enough; the probes of many pages go in one request.
class PageProbes {
  public:
    // add: queues the probes of a range; false when it cannot be readable at all. A null
    // pointer is never readable; a non-null pointer with len 0 is (nothing needs reading), as
    // on Windows.
    bool add(const void *p, size_t len) {
        if (p == nullptr) return false;
        if (len == 0) return true;
        const uintptr_t first = reinterpret_cast<uintptr_t>(p);
        if (len - 1 > UINTPTR_MAX - first) return false;
        const uintptr_t last = first + (len - 1);
        for (uintptr_t probe = first;;) {
            if (count_ == BATCH && !read()) return false;
            remote_[count_++] = {reinterpret_cast<void *>(probe), 1};
            uintptr_t next_page = (probe & ~(page_ - 1)) + page_;
            // next_page wraps to 0 only after the top page, which is then the last probe.
            if (next_page == 0 || next_page > last) return true;
            probe = next_page;
        }
    }

    // read: whether every probe queued so far reads; only a full-length read means that.
    bool read() {
        char sink[BATCH];
        struct iovec local = {sink, count_};
        size_t n = count_;
        count_ = 0;
        return n == 0 || process_vm_readv(static_cast<pid_t>(process_id()), &local, 1, remote_, n,
                                          0) == static_cast<ssize_t>(n);
    }

  private:
    static constexpr size_t BATCH = 64;
    const uintptr_t page_ = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    struct iovec remote_[BATCH];
    size_t count_ = 0;
};

}  // namespace

bool pointer_readable(const void *p, size_t len) {
    PageProbes probes;
    return probes.add(p, len) && probes.read();
}

bool pointers_readable(const ReadRange *ranges, size_t count) {
    if (ranges == nullptr && count != 0) return false;
    PageProbes probes;
    for (size_t i = 0; i < count; ++i)
        if (!probes.add(ranges[i].p, ranges[i].len)) return false;
    return probes.read();
}

// The POSIX backend runs with single-byte narrow strings: there are no lead bytes.
bool code_page_lead_bytes(bool lead[256]) {
    if (lead != nullptr) memset(lead, 0, 256 * sizeof(bool));
    return false;
}

}  // namespace plat
