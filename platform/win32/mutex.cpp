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

// The mutexes the calling thread owns, linked through the mutexes themselves; the first of them
// is the thread's value in a fiber-local slot whose callback abandons them at thread exit. Not a
// thread_local object with a destructor: the runtime may free a thread's thread_local storage
// before it runs the destructors that read it.
void WINAPI abandon_held(void *first) {
    for (Mutex *m = static_cast<Mutex *>(first); m != nullptr;) {
        AcquireSRWLockExclusive(&m->lock);
        Mutex *next = m->held_next;
        m->held_prev = m->held_next = nullptr;
        m->count = 0;
        m->owner = 0;
        m->abandoned = true;
        ReleaseSRWLockExclusive(&m->lock);
        WakeConditionVariable(&m->freed);
        unref(m);
        m = next;
    }
}

// held_slot: the slot, or FLS_OUT_OF_INDEXES in a process that has none left (then an owner's
// death goes unreported).
DWORD held_slot() {
    static const DWORD slot = FlsAlloc(abandon_held);
    return slot;
}

// Called with m->lock held, so the links are published with the ownership.
void held_add(Mutex *m) {
    Mutex *head = static_cast<Mutex *>(FlsGetValue(held_slot()));
    m->held_prev = nullptr;
    m->held_next = head;
    if (head != nullptr) head->held_prev = m;
    FlsSetValue(held_slot(), m);
}

void held_remove(Mutex *m) {
    if (m->held_prev != nullptr)
        m->held_prev->held_next = m->held_next;
    else
        FlsSetValue(held_slot(), m->held_next);
    if (m->held_next != nullptr) m->held_next->held_prev = m->held_prev;
    m->held_prev = m->held_next = nullptr;
}

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
    held_add(m);
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
        held_remove(m);
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
