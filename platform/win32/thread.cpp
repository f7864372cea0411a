// thread.cpp — detached threads with a chosen stack size, thread and process numbers, sleeping,
// and the process-exit list.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "platform/common/fault.h"
#include "platform/platform.h"
#include "platform/win32/errors.h"

namespace plat {
namespace {

// The smallest stack a thread may ask for, as POSIX's PTHREAD_STACK_MIN: the system would round
// a smaller one up silently, and a caller asking for it has made a mistake.
constexpr size_t MIN_STACK_SIZE = 16 * 1024;

struct StartRecord {
    ThreadFunction fn;
    void *arg;
};

DWORD WINAPI run_thread(void *p) {
    StartRecord start = *static_cast<StartRecord *>(p);
    free(p);
    start.fn(start.arg);
    return 0;
}

}  // namespace

uint32_t thread_start(ThreadFunction fn, void *arg, size_t stack_size) {
    if (fn == nullptr || (stack_size != 0 && stack_size < MIN_STACK_SIZE))
        return ERR_INVALID_PARAMETER;
    if (fault_hit(Fault::thread_start)) return SYSTEM_ERROR_BASE | ERROR_NOT_ENOUGH_QUOTA;
    auto *start = static_cast<StartRecord *>(malloc(sizeof(StartRecord)));
    if (start == nullptr) return ERR_NO_MEMORY;
    *start = StartRecord{fn, arg};
    // The size is the stack's reservation, as the system's own threads have it; 0 keeps the
    // program's default.
    HANDLE thread = CreateThread(nullptr, stack_size, run_thread, start,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        const uint32_t rc = last_error();
        free(start);
        return rc;
    }
    CloseHandle(thread);
    return OK;
}

void thread_end() {
    ExitThread(0);
}

uint64_t thread_id() {
    return GetCurrentThreadId();
}

uint32_t process_id() {
    return GetCurrentProcessId();
}

const char *process_name() {
    static const char *name = [] {
        static char path[MAX_PATH + 1];
        DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        path[n < MAX_PATH ? n : MAX_PATH] = '\0';
        const char *slash = strrchr(path, '\\');
        return slash != nullptr ? slash + 1 : path;
    }();
    return name;
}

void sleep_ms(uint32_t ms) {
    Sleep(ms);
}

// atexit called from a DLL registers against that DLL: its handlers run when the DLL is unloaded,
// at the latest when the process exits normally, while its code is still mapped.
uint32_t at_exit(void (*fn)()) {
    if (fn == nullptr) return ERR_INVALID_PARAMETER;
    return atexit(fn) == 0 ? OK : ERR_NO_MEMORY;
}

}  // namespace plat
