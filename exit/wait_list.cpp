// wait_list.cpp — the response wait list: one process-wide doubly linked list between two
// sentinels, oldest entry first, guarded by the wait-list mutex.
#include "exit/wait_list.h"

#include <cstring>

#include "exit/exit_table.h"
#include "exit/trace.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"

namespace kavi {
namespace {

// One waiting KaviSend. Laid out as the 40 bytes of a 32-bit build; with 8-byte pointers and
// handles it is larger, so its memory is requested as sizeof(WaitEntry), not as 40 bytes.
struct WaitEntry {
    uint16_t code;
    uint32_t key;
    plat::Event *event;
    uint8_t *message;
    const uint8_t *block;
    WaitEntry *next;
    WaitEntry *previous;
    char name[12];  // padded exit name and its terminator
};

extern WaitEntry tail;
WaitEntry head{.code = 0,
               .key = 0,
               .event = nullptr,
               .message = nullptr,
               .block = nullptr,
               .next = &tail,
               .previous = nullptr,
               .name = {}};
WaitEntry tail{.code = 0,
               .key = 0,
               .event = nullptr,
               .message = nullptr,
               .block = nullptr,
               .next = nullptr,
               .previous = &head,
               .name = {}};

// The first 8 characters of name, blank-padded: the task name of a request block.
void set_task(char task[8], const char *name) {
    size_t n = strnlen(name, 8);
    std::memcpy(task, name, n);
    std::memset(task + n, ' ', 8 - n);
}

WaitEntry *oldest_with_key(uint32_t key) {
    for (WaitEntry *e = head.next; e != &tail; e = e->next)
        if (e->key == key) return e;
    return nullptr;
}

// lock: takes the wait-list mutex. A mutex left by a thread that died holding it is released
// again at once: the operation fails, but no later caller may block on it for ever.
uint32_t lock(const char *function, uint32_t line, bool log_handle) {
    uint32_t code = plat::mutex_acquire(wait_list_mutex);
    if (code == 0) return 0;
    if (code == plat::ABANDONED) plat::mutex_release(wait_list_mutex);
    if (log_handle)
        KAVI_LOG(function, code, 0, line, 1, &wait_list_mutex, uint32_t{sizeof wait_list_mutex});
    else
        KAVI_LOG(function, code, 0, line, 0);
    return code;
}

void unlock() {
    plat::mutex_release(wait_list_mutex);
}

// release: gives memory of the communication service back; 0 or the service's code, logged.
uint32_t release(const char *name, void *memory, const char *function, uint32_t line) {
    VULC_FREEMEM request{};
    request.head.length = sizeof request;
    set_task(request.head.task, name);
    request.buffer = memory;
    uint32_t rc = vulcfreemem(&request);
    if (rc != 0)
        KAVI_LOG(function, rc, request.head.reason, line, 1, &request, uint32_t{sizeof request});
    return rc;
}

// answer: stores an answer in an entry and wakes its waiter. An answer the waiter has not yet
// collected is replaced, so its buffer is given back here or nobody would ever release it.
void answer(WaitEntry *e, const char *name, uint16_t code, uint8_t *message, const uint8_t *block,
            const char *function, uint32_t line) {
    if (e->message != nullptr && e->message != message) release(name, e->message, function, line);
    e->code = code;
    e->message = message;
    e->block = block;
    plat::event_set(e->event);
}

uint32_t name_length(const char *name) {
    return static_cast<uint32_t>(std::strlen(name));
}

}  // namespace

uint32_t VuleRLAdd(const char *name, uint32_t key, plat::Event **event) {
    static const char F[] = "VuleRLAdd";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 132, 2, name, name_length(name), &key, uint32_t{4});
    uint32_t result = RL_OK;
    if (lock(F, 175, true) != 0) {
        result = RL_FAILED;
    } else {
        VULC_ALCMEM request{};
        request.head.length = sizeof request;
        set_task(request.head.task, name);
        request.size = sizeof(WaitEntry);
        uint32_t rc = vulcalcmem(&request);
        auto *e = static_cast<WaitEntry *>(request.buffer);
        if (rc != 0) {
            KAVI_LOG(F, rc, request.head.reason, 166, 1, &request, uint32_t{sizeof request});
            result = RL_FAILED;
        } else if ((rc = plat::event_create(&e->event)) != 0) {
            // An entry without an event could never be woken: it is not linked at all.
            KAVI_LOG(F, rc, 0, 169, 0);
            release(name, e, F, 171);
            result = RL_FAILED;
        } else {
            e->key = key;
            std::strncpy(e->name, name, sizeof e->name - 1);
            e->name[sizeof e->name - 1] = '\0';
            e->code = 0;
            e->message = nullptr;
            e->block = nullptr;
            e->next = &tail;
            e->previous = tail.previous;
            tail.previous->next = e;
            tail.previous = e;
            *event = e->event;
        }
        unlock();
    }
    KAVI_TRACE(VULZ_KIND_EXIT, F, 183, 1, &result, uint32_t{4});
    return result;
}

uint32_t VuleRLDel(const char *name, uint32_t key, uint16_t *code, uint8_t **message,
                   const uint8_t **block_wire) {
    static const char F[] = "VuleRLDel";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 226, 3, name, name_length(name), &key, uint32_t{4}, &code,
               uint32_t{sizeof code});
    uint32_t result = RL_OK;
    if (lock(F, 282, true) != 0) {
        result = RL_FAILED;
    } else {
        WaitEntry *e = oldest_with_key(key);
        if (e == nullptr) {
            result = RL_NOT_FOUND;
        } else {
            if (code != nullptr) *code = e->code;
            if (message != nullptr) *message = e->message;
            if (block_wire != nullptr) *block_wire = e->block;
            e->previous->next = e->next;
            e->next->previous = e->previous;
            plat::event_close(e->event);
            if (release(name, e, F, 272) != 0) result = RL_FAILED;
        }
        unlock();
    }
    KAVI_TRACE(VULZ_KIND_EXIT, F, 290, 1, &result, uint32_t{4});
    return result;
}

uint32_t VuleRLChange(const char *name, uint32_t key, uint16_t code, uint8_t *message,
                      const uint8_t *block_wire) {
    static const char F[] = "VuleRLChange";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 332, 3, name, name_length(name), &key, uint32_t{4}, &code,
               uint32_t{2});
    uint32_t result = RL_OK;
    if (lock(F, 363, true) != 0) {
        result = RL_FAILED;
    } else {
        WaitEntry *e = oldest_with_key(key);
        if (e == nullptr)
            result = RL_NOT_FOUND;
        else
            answer(e, name, code, message, block_wire, F, 366);
        unlock();
    }
    KAVI_TRACE(VULZ_KIND_EXIT, F, 371, 1, &result, uint32_t{4});
    return result;
}

uint32_t VuleRLTermExit(const char *name) {
    static const char F[] = "VuleRLTermExit";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 409, 1, name, name_length(name));
    uint32_t result = RL_NOT_FOUND;
    if (lock(F, 452, false) != 0) {
        result = RL_FAILED;
    } else {
        for (WaitEntry *e = head.next; e != &tail; e = e->next) {
            if (std::strcmp(e->name, name) != 0) continue;
            answer(e, name, VULE_EXIT_ENDED, nullptr, nullptr, F, 455);
            result = RL_OK;
        }
        unlock();
    }
    KAVI_TRACE(VULZ_KIND_EXIT, F, 460, 1, &result, uint32_t{4});
    return result;
}

}  // namespace kavi
