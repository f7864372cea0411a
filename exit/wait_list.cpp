// wait_list.cpp — the response wait list: one process-wide doubly linked list between two
// sentinels, oldest entry first, guarded by the wait-list mutex.
#include "exit/wait_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "exit/exit_table.h"
#include "exit/slot.h"
#include "exit/trace.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"

namespace kavi {

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
    char name[12];        // padded exit name and its terminator
    uint32_t message_id;  // the command's, once it went out; 0 while it is being sent
    bool answered;        // code, message and block hold the answer (or the exit's end)
    bool awaiting;        // its command went out: its caller leaves only when the event is set
};

namespace {

extern WaitEntry tail;
WaitEntry head{.code = 0,
               .key = 0,
               .event = nullptr,
               .message = nullptr,
               .block = nullptr,
               .next = &tail,
               .previous = nullptr,
               .name = {},
               .message_id = 0,
               .answered = false,
               .awaiting = false};
WaitEntry tail{.code = 0,
               .key = 0,
               .event = nullptr,
               .message = nullptr,
               .block = nullptr,
               .next = nullptr,
               .previous = &head,
               .name = {},
               .message_id = 0,
               .answered = false,
               .awaiting = false};

using Name = std::array<char, sizeof WaitEntry::name>;

Name name_key(const char *name) {
    Name key{};
    std::strncpy(key.data(), name, key.size() - 1);
    return key;
}

// Names whose queue thread has ended: no answer reaches a call of theirs any more. Never
// destroyed, like the list: queue threads may still end while the process exits.
std::vector<Name> &closed_names = *new std::vector<Name>;

// An answer that came while a call of its exit and key was still sending: it may be that
// call's, whose message id is not known yet.
struct HeldAnswer {
    Name name;
    uint32_t key;
    uint32_t message_id;
    uint16_t code;
    uint8_t *message;
    const uint8_t *block;
};
std::vector<HeldAnswer> &held_answers = *new std::vector<HeldAnswer>;

// Events of entries taken out, kept for the next entries: the set that woke a caller may still
// be finishing its wake when the caller takes its entry out, and closing the event would wait
// for it. A kept event is reset when it is taken again; a late wake then only makes its next
// waiter look at it once more.
constexpr size_t SPARE_EVENTS_MAX = 64;
std::vector<plat::Event *> &spare_events = *new std::vector<plat::Event *>;

// entry_event: with the list held, an unset event for a new entry. 0 or event_create's code.
uint32_t entry_event(plat::Event **out) {
    if (spare_events.empty()) return plat::event_create(out);
    *out = spare_events.back();
    spare_events.pop_back();
    return plat::event_reset(*out);
}

// keep_event: with the list held, whether the event of an entry taken out is kept for another.
bool keep_event(plat::Event *event) {
    if (spare_events.size() >= SPARE_EVENTS_MAX) return false;
    try {
        spare_events.push_back(event);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool is_closed(const char *name) {
    return std::find(closed_names.begin(), closed_names.end(), name_key(name)) !=
           closed_names.end();
}

// The first 8 characters of name, blank-padded: the task name of a request block.
void set_task(char task[8], const char *name) {
    size_t n = strnlen(name, 8);
    std::memcpy(task, name, n);
    std::memset(task + n, ' ', 8 - n);
}

bool waits(const WaitEntry *e, const char *name, uint32_t key) {
    return !e->answered && e->key == key && std::strcmp(e->name, name) == 0;
}

// waiting_for: the entry of the exit and key that waits for the answer to message_id; for 0,
// the oldest that waits at all.
WaitEntry *waiting_for(const char *name, uint32_t key, uint32_t message_id) {
    for (WaitEntry *e = head.next; e != &tail; e = e->next)
        if (waits(e, name, key) && (message_id == 0 || e->message_id == message_id)) return e;
    return nullptr;
}

// sending: whether a call of the exit and key waits whose message id is not known yet.
bool sending(const char *name, uint32_t key) {
    for (WaitEntry *e = head.next; e != &tail; e = e->next)
        if (waits(e, name, key) && e->message_id == 0) return true;
    return false;
}

// linked: whether the entry is in the list, so that a caller's handle is never followed unless
// it is still there.
bool linked(const WaitEntry *entry) {
    for (WaitEntry *e = head.next; e != &tail; e = e->next)
        if (e == entry) return true;
    return false;
}

// ListLock: the wait-list mutex; an acquire that fails is logged at the caller's line.
struct ListLock : Lock {
    ListLock(const char *function, uint32_t line, bool log_handle) : Lock(wait_list_mutex) {
        if (held()) return;
        if (log_handle)
            KAVI_LOG(function, code(), 0, line, 1, KAVI_ITEM(wait_list_mutex));
        else
            KAVI_LOG(function, code(), 0, line, 0);
    }
};

// release: gives memory of the communication service back; 0 or the service's code, logged.
uint32_t release(const char *name, void *memory, const char *function, uint32_t line) {
    VULC_FREEMEM request{};
    request.head.length = sizeof request;
    set_task(request.head.task, name);
    request.buffer = memory;
    uint32_t rc = vulcfreemem(&request);
    if (rc != 0) KAVI_LOG(function, rc, request.head.reason, line, 1, KAVI_ITEM(request));
    return rc;
}

// record: stores an answer in an entry that has none; its waiter is still to be woken.
void record(WaitEntry *e, uint16_t code, uint8_t *message, const uint8_t *block) {
    e->code = code;
    e->message = message;
    e->block = block;
    e->answered = true;
}

// answer: stores an answer in an entry that has none and wakes its waiter.
void answer(WaitEntry *e, uint16_t code, uint8_t *message, const uint8_t *block) {
    record(e, code, message, block);
    plat::event_set(e->event);
}

// settle: hands each held answer of the exit to the call it answers, once that call's message
// id is known; one that no call still sending could claim is released.
void settle(const char *name) {
    for (auto it = held_answers.begin(); it != held_answers.end();) {
        if (std::strcmp(it->name.data(), name) != 0) {
            ++it;
            continue;
        }
        WaitEntry *e = waiting_for(name, it->key, it->message_id);
        if (e != nullptr)
            answer(e, it->code, it->message, it->block);
        else if (!sending(name, it->key))
            release(name, it->message, "VuleRLChange", 367);
        else {
            ++it;
            continue;
        }
        it = held_answers.erase(it);
    }
}

uint32_t name_length(const char *name) {
    return static_cast<uint32_t>(std::strlen(name));
}

}  // namespace

uint32_t VuleRLAdd(const char *name, uint32_t key, WaitEntry **entry, plat::Event **event) {
    static const char F[] = "VuleRLAdd";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 132, 2, name, name_length(name), &key, uint32_t{4});
    uint32_t result = RL_OK;
    ListLock lock(F, 175, true);
    if (!lock.held()) {
        result = RL_FAILED;
    } else if (is_closed(name)) {
        result = RL_ENDED;
        lock.release();
    } else {
        VULC_ALCMEM request{};
        request.head.length = sizeof request;
        set_task(request.head.task, name);
        request.size = sizeof(WaitEntry);
        uint32_t rc = vulcalcmem(&request);
        auto *e = static_cast<WaitEntry *>(request.buffer);
        if (rc != 0) {
            KAVI_LOG(F, rc, request.head.reason, 166, 1, KAVI_ITEM(request));
            result = RL_FAILED;
        } else if ((rc = entry_event(&e->event)) != 0) {
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
            e->message_id = 0;
            e->answered = false;
            e->awaiting = false;
            e->next = &tail;
            e->previous = tail.previous;
            tail.previous->next = e;
            tail.previous = e;
            *entry = e;
            *event = e->event;
        }
        lock.release();
    }
    KAVI_TRACE(VULZ_KIND_EXIT, F, 183, 1, &result, uint32_t{4});
    return result;
}

void VuleRLSent(WaitEntry *entry, uint32_t message_id) {
    ListLock lock("VuleRLSent", 200, true);
    if (!lock.held()) return;
    if (linked(entry)) {
        entry->message_id = message_id;
        entry->awaiting = true;
        settle(entry->name);
    }
}

uint32_t VuleRLDel(const char *name, uint32_t key, WaitEntry *entry, uint16_t *code,
                   uint8_t **message, const uint8_t **block_wire) {
    static const char F[] = "VuleRLDel";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 226, 3, name, name_length(name), &key, uint32_t{4},
               KAVI_ITEM(code));
    uint32_t result = RL_OK;
    bool taken_out = false;
    plat::Event *closing = nullptr;
    ListLock lock(F, 282, true);
    if (!lock.held()) {
        result = RL_FAILED;
    } else {
        if (!linked(entry) || entry->key != key || std::strcmp(entry->name, name) != 0) {
            result = RL_NOT_FOUND;
        } else {
            if (code != nullptr) *code = entry->code;
            if (message != nullptr) *message = entry->message;
            if (block_wire != nullptr) *block_wire = entry->block;
            entry->previous->next = entry->next;
            entry->next->previous = entry->previous;
            taken_out = true;
            // Only the entry's own waiter takes it out, and it no longer waits on the event.
            closing = keep_event(entry->event) ? nullptr : entry->event;
            settle(name);  // an entry that never sent may leave held answers unclaimed
        }
        lock.release();
    }
    // A close may wait for the set that woke the caller to finish: the list is not held then.
    if (closing != nullptr) plat::event_close(closing);
    if (taken_out && release(name, entry, F, 272) != 0) result = RL_FAILED;
    KAVI_TRACE(VULZ_KIND_EXIT, F, 290, 1, &result, uint32_t{4});
    return result;
}

uint32_t VuleRLChange(const char *name, uint32_t key, uint16_t code, uint8_t *message,
                      const uint8_t *block_wire, uint32_t message_id) {
    static const char F[] = "VuleRLChange";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 332, 3, name, name_length(name), &key, uint32_t{4}, &code,
               uint32_t{2});
    uint32_t result = RL_OK;
    plat::Event *wake = nullptr;
    ListLock lock(F, 363, true);
    if (!lock.held()) {
        result = RL_FAILED;
    } else {
        WaitEntry *e = waiting_for(name, key, message_id);
        if (e != nullptr && e->awaiting) {
            record(e, code, message, block_wire);
            wake = e->event;
        } else if (e != nullptr) {
            answer(e, code, message, block_wire);
        } else if (message_id == 0 || !sending(name, key)) {
            result = RL_NOT_FOUND;
        } else {
            try {
                held_answers.push_back(
                    {name_key(name), key, message_id, code, message, block_wire});
            } catch (const std::bad_alloc &) {
                result = RL_NOT_FOUND;
            }
        }
        lock.release();
    }
    // The waiter is woken once the list is free: it takes the list at once to collect its
    // answer, and would otherwise find it still held and sleep again. Nothing else sets the
    // event of an answered entry, and an awaiting caller leaves only when it is set, so its
    // entry and event stay until this set has begun (a close waits for a set under way).
    if (wake != nullptr) plat::event_set(wake);
    KAVI_TRACE(VULZ_KIND_EXIT, F, 371, 1, &result, uint32_t{4});
    return result;
}

uint32_t VuleRLTermExit(const char *name) {
    static const char F[] = "VuleRLTermExit";
    KAVI_TRACE(VULZ_KIND_ENTRY, F, 409, 1, name, name_length(name));
    uint32_t result = RL_NOT_FOUND;
    ListLock lock(F, 452, false);
    if (!lock.held()) {
        result = RL_FAILED;
    } else {
        for (WaitEntry *e = head.next; e != &tail; e = e->next) {
            if (std::strcmp(e->name, name) != 0) continue;
            // An answer that came already stays: its call collects it.
            if (!e->answered) answer(e, VULE_EXIT_ENDED, nullptr, nullptr);
            result = RL_OK;
        }
        settle(name);
        try {
            if (!is_closed(name)) closed_names.push_back(name_key(name));
        } catch (const std::bad_alloc &) {
            KAVI_LOG(F, plat::ERR_NO_MEMORY, 0, 456, 1, name, name_length(name));
        }
        lock.release();
    }
    KAVI_TRACE(VULZ_KIND_EXIT, F, 460, 1, &result, uint32_t{4});
    return result;
}

void VuleRLOpenExit(const char *name) {
    ListLock lock("VuleRLOpenExit", 470, true);
    if (!lock.held()) return;
    std::erase(closed_names, name_key(name));
}

void VuleRLEndWait(WaitEntry *entry) {
    ListLock lock("VuleRLEndWait", 480, true);
    if (!lock.held()) return;
    if (linked(entry)) {
        if (!entry->answered) answer(entry, VULE_EXIT_ENDED, nullptr, nullptr);
        settle(entry->name);
    }
}

}  // namespace kavi
