// thread.cpp — detached threads with a chosen stack size, thread and process numbers, sleeping,
// and the process-exit list.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/common/fault.h"
#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace plat {
namespace {

struct StartRecord {
    ThreadFunction fn;
    void *arg;
};

void *run_thread(void *p) {
    StartRecord start = *static_cast<StartRecord *>(p);
    free(p);
    start.fn(start.arg);
    return nullptr;
}

}  // namespace

uint32_t thread_start(ThreadFunction fn, void *arg, size_t stack_size) {
    if (fn == nullptr) return ERR_INVALID_PARAMETER;
    if (fault_hit(Fault::thread_start)) return SYSTEM_ERROR_BASE | EAGAIN;
    auto *start = static_cast<StartRecord *>(malloc(sizeof(StartRecord)));
    if (start == nullptr) return ERR_NO_MEMORY;
    *start = StartRecord{fn, arg};
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0) {
        // A stack size of 0 keeps the system's default, as on Windows.
        if (stack_size != 0) err = pthread_attr_setstacksize(&attr, stack_size);
        if (err == 0) err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (err == 0) err = pthread_create(&thread, &attr, run_thread, start);
        pthread_attr_destroy(&attr);
    }
    if (err != 0) free(start);
    return from_errno(err);
}

void thread_end() {
    pthread_exit(nullptr);
}

uint64_t thread_id() {
    return static_cast<uint64_t>(gettid());
}

// The number is asked of the kernel once per process (every pointer check needs it); the child
// of a fork asks again.
uint32_t process_id() {
    static std::atomic<pid_t> cached{0};
    static const int forgotten_in_child =
        pthread_atfork(nullptr, nullptr, [] { cached.store(0, std::memory_order_relaxed); });
    (void)forgotten_in_child;
    pid_t pid = cached.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        cached.store(pid, std::memory_order_relaxed);
    }
    return static_cast<uint32_t>(pid);
}

const char *process_name() {
    return program_invocation_short_name;
}

void sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// atexit called from a shared library registers against that library: if the library is unloaded
// before the process exits, the handler runs then, while its code is still mapped.
uint32_t at_exit(void (*fn)()) {
    if (fn == nullptr) return ERR_INVALID_PARAMETER;
    return atexit(fn) == 0 ? OK : ERR_NO_MEMORY;
}

}  // namespace plat
