// semwait.cpp — vulcsemwait: each wait binds a mailslot of its own under the node's wait prefix,
// so that a shutdown of the node (or a stop request to the process) can reach it.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/wake.h"

using namespace kavc;

namespace {

struct Wait {
    std::string path;
    std::atomic<bool> interrupted{false};
};

// The flag covers a request that comes before the mailslot exists; the message one that comes
// while the wait blocks.
void on_interrupt(void *arg) {
    auto *wait = static_cast<Wait *>(arg);
    wait->interrupted.store(true);
    plat::mailslot_write(wait->path.c_str(), WAKE_SIGNAL, 8);
}

// discard: takes a message too large for a wake message off the queue.
void discard(plat::Mailslot *slot, size_t len) {
    std::vector<char> rest(len);
    plat::mailslot_read(slot, rest.data(), len, &len, 0);
}

uint32_t wait_for_wake(plat::Mailslot *slot, int32_t timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int32_t left = timeout_ms;
        if (timeout_ms > 0) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            left = ms.count() > 0 ? static_cast<int32_t>(ms.count()) : 0;
        }
        char msg[8];
        size_t len = 0;
        uint32_t rc = plat::mailslot_read(slot, msg, sizeof msg, &len, left);
        if (rc == plat::TIMEOUT) return VULC_SEM_TIMEOUT;
        if (rc == plat::OK && len == 8 && std::memcmp(msg, WAKE_SHUTDOWN, 8) == 0) {
            return VULC_SEM_SHUTDOWN;
        }
        if (rc == plat::OK && len == 8 && std::memcmp(msg, WAKE_SIGNAL, 8) == 0) {
            return VULC_SEM_SIGNAL;
        }
        if (rc != plat::OK && rc != plat::ERR_INVALID_PARAMETER) {
            log_failure("vulcsemwait", VULC_SYSTEM_ERROR, rc, __LINE__, nullptr, 0);
            return VULC_SYSTEM_ERROR;
        }
        log_failure("vulcsemwait", VULC_INVALID_REQUEST, static_cast<uint32_t>(len), __LINE__, msg,
                    len < sizeof msg ? len : sizeof msg);
        if (rc == plat::ERR_INVALID_PARAMETER) discard(slot, len);
    }
}

}  // namespace

uint32_t vulcsemwait(uint32_t, int32_t timeout_ms) try {
    static std::atomic<uint32_t> waits{0};
    Wait wait;
    wait.path = WAIT_PREFIX + std::to_string(plat::process_id()) + "." + std::to_string(++waits);
    // The watch comes first: once the wait can be seen on the node, a stop request ends it.
    // Without the watch the wait still ends on time-out and shutdown.
    plat::InterruptWatch *watch = nullptr;
    uint32_t rc = plat::interrupt_watch_start(on_interrupt, &wait, &watch);
    if (rc != plat::OK) log_failure(__func__, VULC_SYSTEM_ERROR, rc, __LINE__, nullptr, 0);
    plat::Mailslot *slot = nullptr;
    rc = plat::mailslot_create(wait.path.c_str(), &slot);
    if (rc != plat::OK) {
        log_failure(__func__, VULC_SYSTEM_ERROR, rc, __LINE__, wait.path.data(), wait.path.size());
        rc = VULC_SYSTEM_ERROR;
    } else {
        rc = wait.interrupted.load() ? VULC_SEM_SIGNAL : wait_for_wake(slot, timeout_ms);
        plat::mailslot_close(slot);
    }
    if (watch != nullptr) plat::interrupt_watch_stop(watch);
    return rc;
} catch (...) {
    return out_of_memory();
}
