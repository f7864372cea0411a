// mutex.cpp — recursive in-process mutexes that report an owner thread's death to the next
// acquirer, on a slim reader/writer lock and a condition variable (a kernel mutex would report
// the death itself, but costs a system call per acquire where this costs none uncontended).
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/common/fault.h"
#include "platform/platform.h"

namespace plat {

struct Mutex {
    SRWLOCK lock = SRWLOCK_INIT;  // guards every field below
    CONDITION_VARIABLE freed = CONDITION_VARIABLE_INIT;
    DWORD owner = 0;         // owner thread id, valid while count > 0
    uint32_t count = 0;      // recursion depth of the owner; 0 when free
    bool abandoned = false;  // the last owner ended holding it; told to the next acquirer once
    // Links of the owner thread's list of held mutexes; a mutex has at most one owner.
    Mutex *held_prev = nullptr;
    Mutex *held_next = nullptr;
    // One reference for the handle and one while a thread owns it, so a close while owned
    // leaves the object alive until the owner releases it or ends.
    std::atomic<uint32_t> refs{1};
};

namespace {

void unref(Mutex *m) {
    if (m->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m;
}

// The mutexes the calling thread owns. At thread exit each is marked abandoned and handed on.
struct HeldList {
    Mutex *head = nullptr;

    // Called with m->lock held, so the links are published with the ownership.
    void add(Mutex *m) {
        m->held_prev = nullptr;
        m->held_next = head;
        if (head != nullptr) head->held_prev = m;
        head = m;
    }
    void remove(Mutex *m) {
        if (m->held_prev != nullptr)
            m->held_prev->held_next = m->held_next;
        else
            head = m->held_next;
        if (m->held_next != nullptr) m->held_next->held_prev = m->held_prev;
        m->held_prev = m->held_next = nullptr;
    }

    ~HeldList() {
        while (head != nullptr) {
            Mutex *m = head;
            AcquireSRWLockExclusive(&m->lock);
            remove(m);
            m->count = 0;
            m->owner = 0;
            m->abandoned = true;
            ReleaseSRWLockExclusive(&m->lock);
            WakeConditionVariable(&m->freed);
            unref(m);
        }
    }
};

thread_local HeldList held;

}  // namespace

uint32_t mutex_create(Mutex **out) {
    if (fault_hit(Fault::mutex_create)) return ERR_NO_MEMORY;
    Mutex *m = new (std::nothrow) Mutex;
    if (m == nullptr) return ERR_NO_MEMORY;
    *out = m;
    return OK;
}

uint32_t mutex_acquire(Mutex *m, int32_t timeout_ms) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    const DWORD self = GetCurrentThreadId();
    AcquireSRWLockExclusive(&m->lock);
    if (m->count > 0 && m->owner == self) {
        ++m->count;
        ReleaseSRWLockExclusive(&m->lock);
        return OK;
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (m->count > 0) {
        DWORD wait = INFINITE;
        if (timeout_ms >= 0) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                ReleaseSRWLockExclusive(&m->lock);
                return TIMEOUT;
            }
            wait = static_cast<DWORD>(deadline - now);
        }
        SleepConditionVariableSRW(&m->freed, &m->lock, wait, 0);
    }
    m->owner = self;
    m->count = 1;
    uint32_t rc = m->abandoned ? ABANDONED : OK;
    m->abandoned = false;
    m->refs.fetch_add(1, std::memory_order_relaxed);
    held.add(m);
    ReleaseSRWLockExclusive(&m->lock);
    return rc;
}

uint32_t mutex_release(Mutex *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    AcquireSRWLockExclusive(&m->lock);
    if (m->count == 0 || m->owner != GetCurrentThreadId()) {
        ReleaseSRWLockExclusive(&m->lock);
        return ERR_NOT_OWNER;
    }
    const bool freed = --m->count == 0;
    if (freed) {
        m->owner = 0;
        held.remove(m);
    }
    ReleaseSRWLockExclusive(&m->lock);
    if (!freed) return OK;
    // Woken outside the lock so the woken thread does not block on it at once; the owner's
    // reference keeps the object alive until here even if the handle was closed meanwhile.
    WakeConditionVariable(&m->freed);
    unref(m);
    return OK;
}

uint32_t mutex_close(Mutex *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    unref(m);
    return OK;
}

}  // namespace plat
