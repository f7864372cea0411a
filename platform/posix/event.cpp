// event.cpp — manual-reset events on one futex word: the set flag and a generation count of the
// sets that found the event clear, so a set releases every thread waiting at that moment even
// when a reset follows before the waiters have run. A hand-off costs the setter one wake and
// the waiter nothing more: no mutex is taken again after the wake, and a set that nobody waits
// for makes no system call at all.
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <new>
#include <thread>

#include "platform/common/fault.h"
#include "platform/platform.h"

namespace plat {

struct Event {
    std::atomic<uint32_t> word{0};     // bit 0: set; bits 1 to 31: generation
    std::atomic<uint32_t> waiters{0};  // threads in, or about to enter, the futex wait
    // Sets still to finish their wake: a released waiter may close the event at once, and the
    // close waits for them.
    std::atomic<uint32_t> setting{0};
};

namespace {

constexpr uint32_t SET = 1;
constexpr uint32_t GENERATION_STEP = 2;

// futex_wait: sleeps while *word holds expected, until woken or the absolute CLOCK_MONOTONIC
// deadline (null: none). The caller looks at the word again whatever the outcome.
bool futex_wait(std::atomic<uint32_t> *word, uint32_t expected, const timespec *deadline) {
    long rc = syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_BITSET_PRIVATE,
                      expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(rc != 0 && errno == ETIMEDOUT);
}

void futex_wake_all(std::atomic<uint32_t> *word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

timespec deadline_after(int32_t timeout_ms) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += timeout_ms / 1000;
    t.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

}  // namespace

uint32_t event_create(Event **out) {
    if (fault_hit(Fault::event_create)) return ERR_NO_MEMORY;
    Event *e = new (std::nothrow) Event;
    if (e == nullptr) return ERR_NO_MEMORY;
    *out = e;
    return OK;
}

uint32_t event_set(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    e->setting.fetch_add(1);
    uint32_t word = e->word.load();
    bool changed = true;
    do {
        if ((word & SET) != 0) {
            changed = false;
            break;
        }
    } while (!e->word.compare_exchange_weak(word, (word + GENERATION_STEP) | SET));
    // A waiter counts itself before it looks at the word: either it sees this set, or the set
    // sees it waiting (both sides are sequentially consistent).
    if (changed && e->waiters.load() != 0) futex_wake_all(&e->word);
    e->setting.fetch_sub(1, std::memory_order_release);
    return OK;
}

uint32_t event_reset(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    e->word.fetch_and(~SET);
    return OK;
}

uint32_t event_wait(Event *e, int32_t timeout_ms) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    uint32_t word = e->word.load();
    if ((word & SET) != 0) return OK;
    if (timeout_ms == 0) return TIMEOUT;
    const uint32_t generation = word & ~SET;
    timespec deadline{};
    if (timeout_ms > 0) deadline = deadline_after(timeout_ms);
    uint32_t rc = OK;
    e->waiters.fetch_add(1);
    for (;;) {
        word = e->word.load();
        if ((word & SET) != 0 || (word & ~SET) != generation) break;
        if (!futex_wait(&e->word, word, timeout_ms > 0 ? &deadline : nullptr)) {
            word = e->word.load();
            if ((word & SET) == 0 && (word & ~SET) == generation) rc = TIMEOUT;
            break;
        }
    }
    e->waiters.fetch_sub(1);
    return rc;
}

uint32_t event_close(Event *e) {
    if (e == nullptr) return ERR_INVALID_HANDLE;
    // A waiter that a set released may close before that set has finished its wake.
    while (e->setting.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    delete e;
    return OK;
}

}  // namespace plat
