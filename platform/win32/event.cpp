// event.cpp — manual-reset in-process events on a slim lock and a condition variable. A
// generation count beside the flag lets a set release every thread waiting at that moment, even
// when a reset follows before the waiters have run, as a kernel event does.
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/common/fault.h"
#include "platform/platform.h"

namespace plat {

struct Event {
    SRWLOCK lock = SRWLOCK_INIT;  // guards the two fields below
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    bool set = false;
    uint64_t generation = 0;  // counts the sets that found the event clear
    // Sets still to finish their wake-up: a released waiter may close the event at once, and
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
    AcquireSRWLockExclusive(&e->lock);
    const bool changed = !e->set;
    if (changed) {
        e->set = true;
        ++e->generation;
    }
    ReleaseSRWLockExclusive(&e->lock);
    // Woken after the unlock, or a woken waiter would block at once on the lock still held.
    if (changed) WakeAllConditionVariable(&e->changed);
    e->setting.fetch_sub(1, std::memory_order_release);
    return OK;
}

uint32_t event_reset(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    AcquireSRWLockExclusive(&e->lock);
    e->set = false;
    ReleaseSRWLockExclusive(&e->lock);
    return OK;
}

uint32_t event_wait(Event *e, int32_t timeout_ms) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    AcquireSRWLockExclusive(&e->lock);
    const uint64_t start = e->generation;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    uint32_t rc = OK;
    while (!e->set && e->generation == start) {
        DWORD wait = INFINITE;
        if (timeout_ms >= 0) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                rc = TIMEOUT;
                break;
            }
            wait = static_cast<DWORD>(deadline - now);
        }
        SleepConditionVariableSRW(&e->changed, &e->lock, wait, 0);
    }
    ReleaseSRWLockExclusive(&e->lock);
    return rc;
}

uint32_t event_close(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    // A waiter that a set released may close before that set has finished its wake-up.
    while (e->setting.load(std::memory_order_acquire) != 0) SwitchToThread();
    delete e;
    return OK;
}

}  // namespace plat
