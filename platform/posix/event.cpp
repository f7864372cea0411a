// event.cpp — manual-reset events. A generation count beside the flag lets a set release every
// thread waiting at that moment, even when a reset follows before the waiters have run.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

#include "platform/platform.h"
#include "platform/posix/fault.h"

namespace plat {

struct Event {
    std::mutex lock;  // guards the two fields below
    std::condition_variable changed;
    bool set = false;
    uint64_t generation = 0;  // counts the sets that found the event clear
};

uint32_t event_create(Event **out) {
    if (fault_hit(Fault::event_create)) return ERR_NO_MEMORY;
    Event *e = new (std::nothrow) Event;
    if (e == nullptr) return ERR_NO_MEMORY;
    *out = e;
    return OK;
}

uint32_t event_set(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(e->lock);
    if (!e->set) {
        e->set = true;
        ++e->generation;
        // Notified under the lock: a released waiter may close the event as soon as it runs.
        e->changed.notify_all();
    }
    return OK;
}

uint32_t event_reset(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(e->lock);
    e->set = false;
    return OK;
}

uint32_t event_wait(Event *e, int32_t timeout_ms) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    std::unique_lock<std::mutex> guard(e->lock);
    const uint64_t start = e->generation;
    auto signalled = [e, start] { return e->set || e->generation != start; };
    if (timeout_ms < 0) {
        e->changed.wait(guard, signalled);
        return OK;
    }
    // A poll must not enter a timed wait: one that expires at once still costs a timer, some
    // 100 us here, on every command an exit's queue thread posts to its dispatcher.
    if (timeout_ms == 0) return e->set ? OK : TIMEOUT;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    return e->changed.wait_until(guard, deadline, signalled) ? OK : TIMEOUT;
}

uint32_t event_close(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    delete e;
    return OK;
}

}  // namespace plat
