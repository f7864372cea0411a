// event.cpp — manual-reset events. A generation count beside the flag lets a set release every
// thread waiting at that moment, even when a reset follows before the waiters have run.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

#include "platform/common/fault.h"
#include "platform/platform.h"

namespace plat {

struct Event {
    std::mutex lock;  // guards the two fields below
    std::condition_variable changed;
    bool set = false;
    uint64_t generation = 0;  // counts the sets that found the event clear
    // Sets still to finish their notify: a released waiter may close the event at once, and
    // the close waits for them.
    std::atomic<uint32_t> setting{0};
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
    e->setting.fetch_add(1, std::memory_order_relaxed);
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(e->lock);
        changed = !e->set;
        if (changed) {
            e->set = true;
            ++e->generation;
        }
    }
    // Notified after the unlock, or a woken waiter would block at once on the lock still held
    // here: one more wake-up per set.
    if (changed) e->changed.notify_all();
    e->setting.fetch_sub(1, std::memory_order_release);
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
    // A waiter that a set released may close before that set has finished its notify.
    while (e->setting.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    delete e;
    return OK;
}

}  // namespace plat
