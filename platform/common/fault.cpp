// fault.cpp — the fault seam of testing builds: per-point counters that let calls through, then
// make them fail, armed by tests directly or from KAVI_FAULTS in the environment; and pause
// points that hold one thread between two steps until the test lets it go.
#ifdef KAVI_TESTING

#include "platform/common/fault.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plat {
namespace {

constexpr const char *POINT_NAMES[] = {"alloc",          "thread_start", "mailslot_create",
                                       "mailslot_write", "event_create", "mutex_create"};
constexpr size_t POINT_COUNT = sizeof POINT_NAMES / sizeof POINT_NAMES[0];

// One word per point, pass count in the high half and fail count in the low half, so a
// decision and its count-down are one compare-and-swap even when threads race for the point.
std::atomic<uint64_t> points[POINT_COUNT];
std::atomic<uint64_t> reached[POINT_COUNT];
thread_local bool counted = true;
std::once_flag environment_read;

uint64_t pack(uint32_t pass, uint32_t fail) {
    return static_cast<uint64_t>(pass) << 32 | fail;
}

bool parse_count(const char *text, size_t len, bool allow_all, uint32_t *out) {
    if (allow_all && len == 3 && strncmp(text, "all", 3) == 0) {
        *out = FAIL_ALWAYS;
        return true;
    }
    if (len == 0 || len > 9) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    *out = value;
    return true;
}

// parse_entry: "point:pass:fail" of length len; false when it does not have that form.
bool parse_entry(const char *entry, size_t len) {
    const char *end = entry + len;
    const char *colon1 = static_cast<const char *>(memchr(entry, ':', len));
    if (colon1 == nullptr) return false;
    const char *colon2 = static_cast<const char *>(memchr(colon1 + 1, ':', end - colon1 - 1));
    if (colon2 == nullptr) return false;
    size_t name_len = colon1 - entry;
    for (size_t i = 0; i < POINT_COUNT; ++i) {
        if (strlen(POINT_NAMES[i]) != name_len || strncmp(POINT_NAMES[i], entry, name_len) != 0)
            continue;
        uint32_t pass = 0;
        uint32_t fail = 0;
        if (!parse_count(colon1 + 1, colon2 - colon1 - 1, false, &pass) ||
            !parse_count(colon2 + 1, end - colon2 - 1, true, &fail))
            return false;
        points[i].store(pack(pass, fail));
        return true;
    }
    return false;
}

void read_environment() {
    const char *spec = getenv("KAVI_FAULTS");
    if (spec == nullptr) return;
    for (const char *entry = spec; *entry != '\0';) {
        size_t len = strcspn(entry, ",");
        // A mistyped entry would silently test nothing, so it is reported.
        if (len > 0 && !parse_entry(entry, len))
            fprintf(stderr, "KAVI_FAULTS: ignored entry \"%.*s\"\n", static_cast<int>(len), entry);
        entry += len;
        if (*entry == ',') ++entry;
    }
}

// The environment is read before the first arming too, so that it never overrides a test's own.
void read_environment_once() {
    std::call_once(environment_read, read_environment);
}

}  // namespace

bool fault_hit(Fault point) {
    read_environment_once();
    if (counted) reached[static_cast<size_t>(point)].fetch_add(1, std::memory_order_relaxed);
    std::atomic<uint64_t> &word = points[static_cast<size_t>(point)];
    uint64_t now = word.load();
    for (;;) {
        uint32_t pass = static_cast<uint32_t>(now >> 32);
        uint32_t fail = static_cast<uint32_t>(now);
        if (fail == 0) return false;
        uint64_t next =
            pass > 0 ? pack(pass - 1, fail) : pack(0, fail == FAIL_ALWAYS ? fail : fail - 1);
        if (word.compare_exchange_weak(now, next)) return pass == 0;
    }
}

void fault_arm(Fault point, uint32_t pass, uint32_t fail) {
    read_environment_once();
    points[static_cast<size_t>(point)].store(pack(pass, fail));
}

uint64_t fault_reached(Fault point) {
    return reached[static_cast<size_t>(point)].load(std::memory_order_relaxed);
}

void fault_not_counted() {
    counted = false;
}

void fault_clear() {
    read_environment_once();
    for (auto &word : points) word.store(0);
}

namespace {

constexpr size_t PAUSE_COUNT = static_cast<size_t>(Pause::terminate_answering) + 1;

struct PausePoint {
    bool armed = false;
    bool stopped = false;  // a thread waits at the point
};

std::mutex pause_lock;
std::condition_variable pause_changed;
PausePoint pauses[PAUSE_COUNT];

}  // namespace

void pause_here(Pause point) {
    std::unique_lock<std::mutex> held(pause_lock);
    PausePoint &p = pauses[static_cast<size_t>(point)];
    if (!p.armed || p.stopped) return;
    p.stopped = true;
    pause_changed.notify_all();
    pause_changed.wait(held, [&] { return !p.armed; });
    p.stopped = false;
}

void pause_arm(Pause point) {
    std::lock_guard<std::mutex> held(pause_lock);
    pauses[static_cast<size_t>(point)].armed = true;
}

bool pause_reached(Pause point, int32_t timeout_ms) {
    std::unique_lock<std::mutex> held(pause_lock);
    PausePoint &p = pauses[static_cast<size_t>(point)];
    return pause_changed.wait_for(held, std::chrono::milliseconds(timeout_ms),
                                  [&] { return p.stopped; });
}

void pause_release(Pause point) {
    std::lock_guard<std::mutex> held(pause_lock);
    pauses[static_cast<size_t>(point)].armed = false;
    pause_changed.notify_all();
}

}  // namespace plat

#endif
