// mailslot_send.cpp — writes that never stall. A write to a mailslot whose reader's queue is full
// does not fail: it waits in the system as long as the reader does not read. So each write is
// overlapped, and one that does not complete at once is cancelled and handed to an in-process
// queue per destination, which one flusher thread per process delivers in order.
//
// A handle to a mailslot keeps it alive after its reader closed it, and a write to it then waits
// for ever: the flusher holds a handle for a short time only, opens the name again, and drops the
// messages when the name is gone or held by another mailslot than the one they were written to.
#include "platform/win32/mailslot_send.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/mailslot_registry.h"

namespace plat {
namespace {

// Beyond this many queued bytes a write fails instead of growing the process without bound
// behind a reader that never reads.
constexpr size_t OVERFLOW_LIMIT = 64u << 20;
// The longest the flusher keeps one handle, and how long it then goes without: a reader that has
// gone shows when the name is opened again, and a reader that shuts finds a moment without
// writers.
constexpr ULONGLONG HOLD_MS = 200;
constexpr ULONGLONG REST_MS = 5;
// The most messages one destination gets in one turn, so that writers wait for the lock a short
// time only and the flusher's clock moves on.
constexpr int TURN = 64;
// How long the process-exit drain waits for queued messages to reach their readers.
constexpr ULONGLONG EXIT_DRAIN_MS = 2000;

// Messages waiting for one mailslot, the first of them written by an overlapped write when
// `in_flight`. Never moved once made: the system holds the address of `written`.
struct Destination {
    MailslotAddress to;
    // The mailslot's identity and process, from the registry at the first queued write; 0 and
    // null when unknown.
    uint64_t identity = 0;
    HANDLE owner = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    ULONGLONG opened = 0;   // when `file` was opened
    ULONGLONG let_go = 0;   // when it was closed after HOLD_MS
    HANDLE done = nullptr;  // signalled when the write in flight completes
    OVERLAPPED written{};
    bool in_flight = false;
    std::deque<std::string> messages;
};

struct State {
    std::atomic<size_t> destinations{0};  // entries in `pending`; 0 lets writers skip the lock
    std::mutex lock;                      // guards everything below
    std::map<std::string, Destination> pending;  // by system path; only the flusher erases
    size_t queued_bytes = 0;
    // Per system path: messages dropped because the reader they were written to went away
    // (or was shut) before it took them.
    std::map<std::string, uint32_t> dropped;
    bool flusher_running = false;
    HANDLE wake = nullptr;  // tells the flusher about a new destination
};

void drain_at_exit();

// The state is never destroyed: the flusher and late writers may run while the process exits.
State &state() {
    static State *s = [] {
        auto *made = new State();
        at_exit(drain_at_exit);
        return made;
    }();
    return *s;
}

void let_go(Destination &d) {
    if (d.file != INVALID_HANDLE_VALUE) CloseHandle(d.file);
    d.file = INVALID_HANDLE_VALUE;
}

// Called with s.lock held.
void drop_all(State &s, Destination &d) {
    for (const std::string &m : d.messages) s.queued_bytes -= m.size();
    try {
        s.dropped[d.to.system_path] += static_cast<uint32_t>(d.messages.size());
    } catch (const std::bad_alloc &) {
    }
    d.messages.clear();
    let_go(d);
}

// reopen: a fresh handle to the mailslot the messages were written to; false when it is gone.
// A new holder of the name may not have replaced a dead one's entry yet: hence the process.
bool reopen(Destination &d, ULONGLONG now) {
    if (open_writer(d.to, true, &d.file) != OK) return false;
    d.opened = now;
    if (d.owner != nullptr && WaitForSingleObject(d.owner, 0) == WAIT_OBJECT_0) return false;
    if (d.identity == 0) return true;
    RegistryEntry now_there;
    uint32_t rc = registry_read(d.to.entry, &now_there);
    // Another failure (the entry held alone for a moment) says nothing about the holder.
    return rc == OK ? now_there.identity == d.identity : rc != ERR_NOT_FOUND;
}

// forget: with s.lock held, a destination whose messages are gone.
void forget(State &s, std::map<std::string, Destination>::iterator it) {
    let_go(it->second);
    CloseHandle(it->second.done);
    if (it->second.owner != nullptr) CloseHandle(it->second.owner);
    s.pending.erase(it);
    s.destinations.fetch_sub(1);
}

enum class Progress { idle, waiting, resting, more };

// advance: with s.lock held, completes the write in flight and starts the next, until the queue
// is empty or a write waits for the reader. Only the lock holder touches the write in flight.
Progress advance(State &s, Destination &d, ULONGLONG now) {
    for (int sent = 0;; ++sent) {
        if (sent == TURN) return Progress::more;
        if (d.in_flight) {
            DWORD n = 0;
            bool ok = GetOverlappedResult(d.file, &d.written, &n, FALSE);
            if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) {
                if (now - d.opened < HOLD_MS) return Progress::waiting;
                CancelIoEx(d.file, &d.written);
                ok = GetOverlappedResult(d.file, &d.written, &n, TRUE);
            }
            d.in_flight = false;
            if (ok) {
                s.queued_bytes -= d.messages.front().size();
                d.messages.pop_front();
            } else if (GetLastError() == ERROR_OPERATION_ABORTED) {
                // Taken back, here or because the thread that wrote it ended: written again.
                let_go(d);
                d.let_go = now;
            } else {
                drop_all(s, d);
            }
        }
        if (d.messages.empty()) {
            let_go(d);
            return Progress::idle;
        }
        if (d.file != INVALID_HANDLE_VALUE && now - d.opened >= HOLD_MS) {
            let_go(d);
            d.let_go = now;
        }
        if (d.file == INVALID_HANDLE_VALUE && now - d.let_go < REST_MS) return Progress::resting;
        if (d.file == INVALID_HANDLE_VALUE && !reopen(d, now)) {
            drop_all(s, d);
            return Progress::idle;
        }
        const std::string &front = d.messages.front();
        d.written = OVERLAPPED{};
        d.written.hEvent = d.done;
        if (WriteFile(d.file, front.data(), static_cast<DWORD>(front.size()), nullptr,
                      &d.written)) {
            s.queued_bytes -= front.size();
            d.messages.pop_front();
        } else if (GetLastError() == ERROR_IO_PENDING) {
            d.in_flight = true;
            return Progress::waiting;
        } else {
            drop_all(s, d);
            return Progress::idle;
        }
    }
}

// advance_all: with s.lock held; the events of the writes in flight go to `waits`, as many as
// one wait can take, and *wait_ms gets how long to wait for them. True when messages are left.
bool advance_all(State &s, std::vector<HANDLE> *waits, DWORD *wait_ms, bool erase_idle) {
    const ULONGLONG now = GetTickCount64();
    bool busy = false;
    *wait_ms = HOLD_MS;
    for (auto it = s.pending.begin(); it != s.pending.end();) {
        Destination &d = it->second;
        Progress progress = advance(s, d, now);
        if (progress != Progress::idle) {
            busy = true;
            if (progress == Progress::resting) *wait_ms = std::min<DWORD>(*wait_ms, REST_MS);
            if (progress == Progress::more) *wait_ms = 0;
            if (progress == Progress::waiting && waits->size() < MAXIMUM_WAIT_OBJECTS)
                waits->push_back(d.done);
            ++it;
        } else if (erase_idle) {
            forget(s, it++);
        } else {
            ++it;
        }
    }
    return busy;
}

void flush_loop(void *) {
    State &s = state();
    std::vector<HANDLE> waits;
    for (;;) {
        waits.assign(1, s.wake);
        DWORD wait_ms;
        {
            std::lock_guard<std::mutex> held(s.lock);
            advance_all(s, &waits, &wait_ms, true);
        }
        WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, wait_ms);
    }
}

// Messages a write has accepted should reach a reader that is merely slow; one that never reads
// must not hold the exit hostage, hence the bound. When a DLL's exit handlers run at process
// exit, the system has already ended the flusher (perhaps holding the lock), so this thread does
// the flushing itself.
void drain_at_exit() {
    State &s = state();
    const ULONGLONG deadline = GetTickCount64() + EXIT_DRAIN_MS;
    std::vector<HANDLE> waits;
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        waits.clear();
        std::unique_lock<std::mutex> held(s.lock, std::try_to_lock);
        if (!held.owns_lock()) {
            Sleep(10);
            continue;
        }
        DWORD wait_ms;
        const bool busy = advance_all(s, &waits, &wait_ms, false);
        held.unlock();
        if (!busy) return;
        if (waits.empty())
            Sleep(wait_ms);
        else
            WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, wait_ms);
    }
}

// Called with s.lock held.
uint32_t start_flusher(State &s) {
    if (s.flusher_running) return OK;
    if (s.wake == nullptr) {
        s.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (s.wake == nullptr) return last_error();
    }
    uint32_t rc = thread_start(flush_loop, nullptr, 0);
    if (rc == OK) s.flusher_running = true;
    return rc;
}

// enqueue: with s.lock held, queues a copy of the message behind the destination's others,
// making the destination when there is none (then it takes *file, which is set to invalid).
uint32_t enqueue(State &s, const MailslotAddress &to, const void *data, size_t len, HANDLE *file) {
    if (len > OVERFLOW_LIMIT - s.queued_bytes) return ERR_NO_MEMORY;
    if (uint32_t rc = start_flusher(s); rc != OK) return rc;
    try {
        auto [it, made] = s.pending.try_emplace(to.system_path);
        Destination &d = it->second;
        if (made) {
            d.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (d.done == nullptr) {
                uint32_t rc = last_error();
                s.pending.erase(it);
                return rc;
            }
            d.to = to;
            RegistryEntry value;
            if (registry_read(to.entry, &value) == OK) {
                d.identity = value.identity;
                d.owner = OpenProcess(SYNCHRONIZE, FALSE, value.pid);
            }
            d.file = *file;
            d.opened = GetTickCount64();
            *file = INVALID_HANDLE_VALUE;
            s.destinations.fetch_add(1);
            SetEvent(s.wake);
        }
        d.messages.emplace_back(static_cast<const char *>(data), len);
    } catch (const std::bad_alloc &) {
        return ERR_NO_MEMORY;
    }
    s.queued_bytes += len;
    return OK;
}

// write_at_once: one overlapped write that is taken back when the reader's queue has no room.
// OK, TIMEOUT when it was taken back, or a system error.
uint32_t write_at_once(HANDLE file, const void *data, size_t len) {
    OVERLAPPED written{};
    DWORD n = 0;
    if (WriteFile(file, data, static_cast<DWORD>(len), nullptr, &written)) return OK;
    if (GetLastError() != ERROR_IO_PENDING) return last_error();
    CancelIoEx(file, &written);
    if (GetOverlappedResult(file, &written, &n, TRUE)) return OK;  // it completed first
    return GetLastError() == ERROR_OPERATION_ABORTED ? TIMEOUT : last_error();
}

}  // namespace

void mailslot_send_prepare() {
    (void)state();
}

uint32_t open_writer(const MailslotAddress &to, bool overlapped, HANDLE *out) {
    // Writers share the mailslot among themselves; a reader that shuts it opens it alone, and
    // then it is as good as gone.
    *out = CreateFileA(to.system_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*out != INVALID_HANDLE_VALUE) return OK;
    return GetLastError() == ERROR_SHARING_VIOLATION ? ERR_NOT_FOUND : last_error();
}

uint32_t mailslot_dropped_to(const MailslotAddress &to) {
    State &s = state();
    std::lock_guard<std::mutex> held(s.lock);
    auto found = s.dropped.find(to.system_path);
    return found != s.dropped.end() ? found->second : 0;
}

// A write that finds messages queued for its destination queues behind them, so that what one
// thread writes arrives in the order written.
uint32_t mailslot_send(const MailslotAddress &to, const void *data, size_t len) {
    State &s = state();
    if (s.destinations.load() != 0) {
        std::lock_guard<std::mutex> held(s.lock);
        if (s.pending.count(to.system_path) != 0) {
            HANDLE none = INVALID_HANDLE_VALUE;
            return enqueue(s, to, data, len, &none);
        }
    }
    HANDLE file;
    if (uint32_t rc = open_writer(to, true, &file); rc != OK) return rc;
    uint32_t rc = write_at_once(file, data, len);
    if (rc == TIMEOUT) {
        std::lock_guard<std::mutex> held(s.lock);
        rc = enqueue(s, to, data, len, &file);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return rc;
}

}  // namespace plat
