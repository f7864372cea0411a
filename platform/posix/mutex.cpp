// mutex.cpp — recursive mutexes that report an owner thread's death to the next acquirer, built
// from a std::mutex, a condition variable and an owner word (robust pthread mutexes are not used:
// ThreadSanitizer cannot follow them, and one missed "consistent" call loses the mutex for good).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "platform/common/fault.h"
#include "platform/platform.h"

namespace plat {

struct Mutex {
    std::mutex lock;  // guards every field below
    std::condition_variable freed;
    std::thread::id owner;
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
            {
                std::lock_guard<std::mutex> guard(m->lock);
                remove(m);
                m->count = 0;
                m->owner = std::thread::id();
                m->abandoned = true;
            }
            m->freed.notify_one();
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
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(m->lock);
    if (m->count > 0 && m->owner == self) {
        ++m->count;
        return OK;
    }
    auto is_free = [m] { return m->count == 0; };
    if (timeout_ms < 0) {
        m->freed.wait(guard, is_free);
    } else {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        if (!m->freed.wait_until(guard, deadline, is_free)) return TIMEOUT;
    }
    m->owner = self;
    m->count = 1;
    uint32_t rc = m->abandoned ? ABANDONED : OK;
    m->abandoned = false;
    m->refs.fetch_add(1, std::memory_order_relaxed);
    held.add(m);
    return rc;
}

uint32_t mutex_release(Mutex *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> guard(m->lock);
        if (m->count == 0 || m->owner != std::this_thread::get_id()) return ERR_NOT_OWNER;
        if (--m->count > 0) return OK;
        m->owner = std::thread::id();
        held.remove(m);
    }
    // Notified outside the lock so the woken thread does not block on it at once; the owner's
    // reference keeps the object alive until here even if the handle was closed meanwhile.
    m->freed.notify_one();
    unref(m);
    return OK;
}

uint32_t mutex_close(Mutex *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    unref(m);
    return OK;
}

}  // namespace plat
