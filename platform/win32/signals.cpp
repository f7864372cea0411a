// signals.cpp — the interrupt watch on Windows. While a watch is active, a console handler turns
// Ctrl-C, Ctrl-Break and the console's close into calls of the active watches (the system runs
// it on a thread of its own), and a thread waits on an event named after the process, which
// process_stop of another process sets: the two stop requests that SIGINT and SIGTERM are on
// POSIX.
#include <windows.h>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/errors.h"

namespace plat {

struct InterruptWatch {
    InterruptFunction fn;
    void *arg;
};

namespace {

// The waiter of the named stop event; its own quit event ends it when the last watch stops.
struct StopWaiter {
    HANDLE stop = nullptr;  // named, auto-reset
    HANDLE quit = nullptr;  // unnamed, manual-reset
    HANDLE thread = nullptr;
};

struct State {
    std::mutex lock;  // guards the fields below; held while watches are called
    std::vector<InterruptWatch *> watches;
    StopWaiter *waiter = nullptr;
};

// Never destroyed: a console event may arrive while the process exits.
State &state() {
    static State *s = new State;
    return *s;
}

std::string stop_event_name(uint32_t pid) {
    return "Local\\kavi-stop-" + std::to_string(pid);
}

// Calls the active watches; false when there are none.
bool call_watches() {
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    for (InterruptWatch *w : s.watches) w->fn(w->arg);
    return !s.watches.empty();
}

// Handlers run newest first; one that answers TRUE ends the search, so a handler the program
// added later keeps the event for itself, as a signal handler of its own would on POSIX.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            return call_watches() ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

DWORD WINAPI wait_for_stop(void *p) {
    auto *waiter = static_cast<StopWaiter *>(p);
    const HANDLE events[] = {waiter->quit, waiter->stop};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        // A request that found no watch (the last one just stopped) ends the process, as a
        // SIGTERM left at its default does.
        if (!call_watches()) ExitProcess(1);
    }
    return 0;
}

void close_waiter(StopWaiter *waiter) {
    if (waiter->thread != nullptr) {
        SetEvent(waiter->quit);
        WaitForSingleObject(waiter->thread, INFINITE);
        CloseHandle(waiter->thread);
    }
    if (waiter->stop != nullptr) CloseHandle(waiter->stop);
    if (waiter->quit != nullptr) CloseHandle(waiter->quit);
    delete waiter;
}

uint32_t open_waiter(StopWaiter **out) {
    auto *waiter = new (std::nothrow) StopWaiter;
    if (waiter == nullptr) return ERR_NO_MEMORY;
    waiter->stop = CreateEventA(nullptr, FALSE, FALSE, stop_event_name(process_id()).c_str());
    waiter->quit = waiter->stop != nullptr ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    waiter->thread = waiter->quit != nullptr
                         ? CreateThread(nullptr, THREAD_STACK_SIZE, wait_for_stop, waiter,
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                         : nullptr;
    if (waiter->thread == nullptr) {
        uint32_t rc = last_error();
        close_waiter(waiter);
        return rc;
    }
    *out = waiter;
    return OK;
}

}  // namespace

uint32_t interrupt_watch_start(InterruptFunction fn, void *arg, InterruptWatch **out) {
    if (fn == nullptr || out == nullptr) return ERR_INVALID_PARAMETER;
    auto *w = new (std::nothrow) InterruptWatch{fn, arg};
    if (w == nullptr) return ERR_NO_MEMORY;
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.watches.empty()) {
        uint32_t rc = open_waiter(&s.waiter);
        if (rc == OK && !SetConsoleCtrlHandler(on_console_event, TRUE)) {
            rc = last_error();
            close_waiter(s.waiter);
        }
        if (rc != OK) {
            s.waiter = nullptr;
            delete w;
            return rc;
        }
    }
    s.watches.push_back(w);
    *out = w;
    return OK;
}

// The waiter ends outside the lock: it may be calling the watches right now.
uint32_t interrupt_watch_stop(InterruptWatch *w) {
    if (w == nullptr) return ERR_INVALID_HANDLE;
    State &s = state();
    StopWaiter *ended = nullptr;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        auto it = s.watches.begin();
        while (it != s.watches.end() && *it != w) ++it;
        if (it == s.watches.end()) return ERR_INVALID_HANDLE;
        s.watches.erase(it);
        if (s.watches.empty()) {
            SetConsoleCtrlHandler(on_console_event, FALSE);
            ended = s.waiter;
            s.waiter = nullptr;
        }
    }
    if (ended != nullptr) close_waiter(ended);
    delete w;
    return OK;
}

// A process that watches has its stop event; one that does not is ended, as SIGTERM ends it.
uint32_t process_stop(uint32_t pid, const char **how) {
    if (pid == 0) return ERR_INVALID_PARAMETER;
    HANDLE stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, stop_event_name(pid).c_str());
    if (stop != nullptr) {
        if (how != nullptr) *how = "its stop event";
        uint32_t rc = SetEvent(stop) ? OK : last_error();
        CloseHandle(stop);
        return rc;
    }
    if (how != nullptr) *how = "ended at once: it watches no stop event";
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER ? ERR_NOT_FOUND : last_error();
    uint32_t rc = TerminateProcess(process, 1) ? OK : last_error();
    CloseHandle(process);
    return rc;
}

}  // namespace plat
