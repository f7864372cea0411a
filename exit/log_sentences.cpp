// log_sentences.cpp — what each error-log entry of this library means, in one sentence per call
// site. A sentence names what failed with the entry's own items decoded (exit names as text,
// request blocks by field), so that a reader needs no hex dump to know what happened.
#include "exit/log_sentences.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "exit/records.h"
#include "exit/wait_list.h"
#include "kaviexit.h"
#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"

namespace kavi {

namespace {

constexpr uint32_t ITEMS_USED = 4;
constexpr size_t SENTENCE_CAP = 400;

// Which family of numbers a code or reason belongs to, for its meaning.
enum class Codes { none, library, service, system, wait_list, element };

// What an entry's first item is, for {name} (and {dest}, {corr} of a send request).
enum class Item {
    none,
    name,           // an 8-byte padded exit name
    name_pointer,   // the address of the caller's name pointer
    mailslot_path,  // the mailslot path, ending in the exit name
    request,        // a request block of the communication service: its task is the exit
    send_request,   // a VULC_SNDDATA block
    message,        // a received message: the exit is its destination
    invocation,     // an invocation record
    queue_start,    // a queue start record
    wire_block,     // the 338-byte wire image of a parameter block
    number,         // a 32-bit number, {number}
};

struct Sentence {
    uint32_t site;
    Codes code;
    Codes reason;
    Item item;
    const char *text;  // {name} {code} {reason} {dest} {number} {holder} {why}
};

// One row per call site that logs. Sites are unique across the library.
constexpr Sentence SENTENCES[] = {
    // KaviInit
    {80, Codes::library, Codes::none, Item::none,
     "KaviInitialize ran out of memory; the exit was not registered"},
    {135, Codes::library, Codes::none, Item::none,
     "KAVI_NODE names a node of more than 24 characters; it is refused rather than cut, so that "
     "two nodes never become one"},
    {310, Codes::library, Codes::none, Item::none,
     "KaviInit ran out of memory; the exit was not registered"},
    {120, Codes::library, Codes::none, Item::none,
     "KaviInit was given a null exit name or exit function"},
    {130, Codes::library, Codes::none, Item::name_pointer,
     "the exit name {name} is not valid: {why}"},
    {140, Codes::library, Codes::system, Item::mailslot_path,
     "the mailslot of exit {name} could not be created: {reason}{holder}"},
    {150, Codes::service, Codes::none, Item::request,
     "exit {name} could not be started at the communication service: {code}{holder}"},
    {160, Codes::library, Codes::none, Item::name, "no memory to register exit {name}"},
    {170, Codes::library, Codes::system, Item::none,
     "the exit table mutex could not be acquired: {reason}"},
    {180, Codes::library, Codes::none, Item::name,
     "exit {name} cannot be registered: all 64 slots of the exit table are in use"},
    {190, Codes::service, Codes::none, Item::request,
     "the communication service did not give the node address for exit {name}: {code}"},
    {200, Codes::system, Codes::none, Item::name,
     "the events or mutex of exit {name} could not be created: {code}"},
    {210, Codes::system, Codes::none, Item::none,
     "the library's process-wide mutexes could not be created: {code}"},
    {220, Codes::library, Codes::system, Item::queue_start,
     "the command queue thread of exit {name} could not be started: {reason}"},
    {230, Codes::system, Codes::none, Item::none,
     "the process-exit handler could not be registered: {code}"},
    // KaviSend
    {1210, Codes::library, Codes::none, Item::none, "KaviSend ran out of memory"},
    {276, Codes::library, Codes::none, Item::name,
     "KaviSend from exit {name} was given a name, node or field it cannot read, or a name of "
     "0 or more than 8 characters"},
    {290, Codes::library, Codes::none, Item::none, "KaviSend was given a null argument"},
    {336, Codes::library, Codes::none, Item::name,
     "KaviSend was called for exit {name}, which is not registered in this process"},
    {349, Codes::system, Codes::none, Item::none,
     "KaviSend could not acquire the exit table mutex: {code}"},
    {949, Codes::service, Codes::none, Item::send_request,
     "the command from exit {name} could not be sent to {dest}: {code}"},
    {977, Codes::service, Codes::none, Item::request,
     "exit {name} could not release the buffer of a command it sent: {code}"},
    {1133, Codes::service, Codes::none, Item::request,
     "exit {name} could not release the answer to a command it sent: {code}"},
    {1144, Codes::element, Codes::none, Item::message,
     "the answer to a command sent by exit {name} is malformed: {code}; the block is left "
     "as it was sent"},
    {1150, Codes::wait_list, Codes::none, Item::name,
     "the answer to a command sent by exit {name} could not be taken from the wait list: "
     "{code}"},
    {1162, Codes::service, Codes::none, Item::request,
     "no buffer for a command from exit {name}: {code}"},
    {1176, Codes::none, Codes::none, Item::wire_block,
     "the command from exit {name} would be {code} bytes, more than the 32,768 a command may "
     "have"},
    {1188, Codes::service, Codes::none, Item::request,
     "the communication service did not give the node address for exit {name}: {code}"},
    // Response wait list
    {367, Codes::service, Codes::none, Item::request,
     "exit {name} could not release an answer that no call claimed: {code}"},
    {456, Codes::system, Codes::none, Item::name,
     "no memory to mark exit {name} as ended on the wait list: {code}"},
    {166, Codes::service, Codes::none, Item::request,
     "no memory for the wait-list entry of a command sent by exit {name}: {code}"},
    {169, Codes::system, Codes::none, Item::none,
     "the event of a wait-list entry could not be created: {code}"},
    {171, Codes::service, Codes::none, Item::request,
     "exit {name} could not release a wait-list entry: {code}"},
    {175, Codes::system, Codes::none, Item::none,
     "the wait-list mutex could not be acquired to add a waiter: {code}"},
    {272, Codes::service, Codes::none, Item::request,
     "exit {name} could not release a wait-list entry: {code}"},
    {282, Codes::system, Codes::none, Item::none,
     "the wait-list mutex could not be acquired to take a waiter out: {code}"},
    {363, Codes::system, Codes::none, Item::none,
     "the wait-list mutex could not be acquired to hand an answer over: {code}"},
    {366, Codes::service, Codes::none, Item::request,
     "exit {name} could not release an answer nobody waits for any more: {code}"},
    {452, Codes::system, Codes::none, Item::none,
     "the wait-list mutex could not be acquired to wake the waiters of an ending exit: {code}"},
    {455, Codes::service, Codes::none, Item::request,
     "exit {name} could not release an answer while its waiters were woken: {code}"},
    // Single-thread dispatcher
    {153, Codes::none, Codes::none, Item::invocation,
     "no memory to queue a command for exit {name}; it is answered with 0x8009"},
    {167, Codes::none, Codes::system, Item::invocation,
     "the dispatcher queue mutex of exit {name} could not be acquired: {reason}"},
    {297, Codes::none, Codes::system, Item::queue_start,
     "the dispatcher of exit {name} could not reset its work event: {reason}; it stops"},
    {371, Codes::none, Codes::system, Item::queue_start,
     "the dispatcher of exit {name} could not acquire its queue mutex: {reason}; it stops"},
    // Command queue thread
    {505, Codes::none, Codes::none, Item::message,
     "a stop element for exit {name} came before its termination began; it was ignored"},
    {570, Codes::service, Codes::none, Item::request,
     "exit {name} could not close its inbox after its stop: {code}; its queue thread ends at "
     "once"},
    {410, Codes::none, Codes::system, Item::name,
     "the dispatcher thread of exit {name} could not be started: {reason}; its commands are "
     "answered with 0x800A"},
    {440, Codes::service, Codes::none, Item::none,
     "a command queue thread could not receive from its mailslot: {code}; it ends"},
    {460, Codes::none, Codes::none, Item::message,
     "a message for exit {name} has a header that is not valid; it was dropped unanswered"},
    {470, Codes::none, Codes::none, Item::none,
     "a message came without a parameter block; it was dropped unanswered"},
    {480, Codes::wait_list, Codes::none, Item::none,
     "an answer arrived for which no KaviSend waits: {code}; the sender gave up or "
     "was terminated, and the answer was dropped"},
    {490, Codes::none, Codes::none, Item::none,
     "a command carries an element of unknown type {reason} after its block; the command runs "
     "with the elements before it"},
    {500, Codes::none, Codes::element, Item::message,
     "a command for exit {name} is malformed: {reason}; it was dropped unanswered"},
    {520, Codes::library, Codes::none, Item::wire_block,
     "no memory for the record of a command for exit {name}; it is answered with 0x8009"},
    {530, Codes::system, Codes::none, Item::invocation,
     "no invocation thread could be started for a command for exit {name} {code}; it is "
     "answered with 0x800A"},
    {550, Codes::none, Codes::none, Item::message,
     "a message for exit {name} has function code {reason}, which exits do not run; it was "
     "dropped"},
    {560, Codes::service, Codes::none, Item::request,
     "exit {name} could not release a message buffer: {code}"},
    // Operator queries (kavi ping, stats, list)
    {1800, Codes::service, Codes::none, Item::request,
     "no buffer to answer an operator's query to exit {name}: {code}"},
    {1810, Codes::service, Codes::none, Item::send_request,
     "the answer of exit {name} to an operator's query could not be sent to {dest}: {code}"},
    {1820, Codes::service, Codes::none, Item::request,
     "exit {name} could not release the answer to an operator's query: {code}"},
    // KaviTerminate
    {740, Codes::library, Codes::none, Item::none, "KaviWait ran out of memory"},
    {845, Codes::service, Codes::none, Item::request,
     "KaviTerminate could not close the inbox of exit {name}: {code}"},
    {995, Codes::library, Codes::none, Item::none, "KaviTerminate ran out of memory"},
    {770, Codes::library, Codes::none, Item::none,
     "KaviTerminate was given a null or unreadable name, or one of 0 or more than 8 "
     "characters"},
    {790, Codes::service, Codes::none, Item::request,
     "KaviTerminate: the communication service does not know exit {name}: {code}"},
    {800, Codes::library, Codes::system, Item::none,
     "KaviTerminate could not acquire the exit table mutex: {reason}"},
    {810, Codes::library, Codes::none, Item::name,
     "KaviTerminate: exit {name} is not registered in this process"},
    {830, Codes::service, Codes::none, Item::request,
     "no buffer for the stop message of exit {name}: {code}"},
    {840, Codes::service, Codes::none, Item::send_request,
     "the stop message could not be sent to {dest}: {code}"},
    {850, Codes::library, Codes::system, Item::none,
     "KaviTerminate could not acquire the exit table mutex again after the queue ended: "
     "{reason}"},
    {870, Codes::service, Codes::none, Item::request,
     "exit {name} could not release its stop message: {code}"},
    {880, Codes::service, Codes::none, Item::request,
     "exit {name} could not be stopped at the communication service: {code}"},
    // Reply path
    {1300, Codes::none, Codes::none, Item::number,
     "a reply would be {number} bytes, too long for the command's buffer; a status reply "
     "without the block goes back instead"},
    {1305, Codes::system, Codes::none, Item::number,
     "no memory ({number} bytes) to build a reply; a status reply goes back instead"},
    {1320, Codes::service, Codes::none, Item::send_request,
     "the reply of exit {name} could not be sent to {dest}: {code}"},
    {1337, Codes::service, Codes::none, Item::request,
     "exit {name} could not release the buffer of a command it answered: {code}"},
    {1607, Codes::service, Codes::none, Item::send_request,
     "the status reply of exit {name} could not be sent to {dest}: {code}"},
    {1624, Codes::service, Codes::none, Item::request,
     "exit {name} could not release the buffer of a command it answered: {code}"},
    {1700, Codes::service, Codes::none, Item::request,
     "at process end, no buffer to answer a command still running in exit {name}: {code}"},
    {1710, Codes::service, Codes::none, Item::request,
     "at process end, exit {name} could not release an answer: {code}"},
    {1720, Codes::service, Codes::none, Item::request,
     "at process end, exit {name} could not release a command's buffer: {code}"},
    // VuleCommandExit
    {163, Codes::library, Codes::none, Item::none,
     "VuleCommandExit could not register its exit: KaviInitialize returned {code}"},
    {227, Codes::library, Codes::none, Item::none,
     "VuleCommandExit could not terminate its exit: KaviTerminate returned {code}"},
};

// The library's own codes: what an error-log entry says of each, and what a failed
// registration tells the exit program (null: a registration does not fail with it).
struct LibraryCode {
    uint32_t code;
    const char *meaning;
    const char *registration;
};
constexpr LibraryCode LIBRARY_CODES[] = {
    {VULE_NOT_CREATED, "not created", "an exit of that name is already registered on this node"},
    {VULE_INVALID_ARGUMENT, "invalid argument",
     "the name is not valid: 1 to 8 characters, no blanks, not KAVIEXIT"},
    {VULE_NO_MEMORY, "no memory", "no memory"},
    {VULE_NOT_REGISTERED, "not registered", nullptr},
    {VULE_TERMINATING, "the exit is terminating", nullptr},
    {VULE_TOO_LARGE, "too large", nullptr},
    {VULE_SYSTEM_ERROR, "system error", nullptr},
    {VULE_EXIT_ENDED, "the exit ended", nullptr},
    {VULE_NO_COMMAND_MEMORY, "no memory for the command", nullptr},
    {VULE_NO_COMMAND_THREAD, "no thread", nullptr},
};

const Sentence *find(uint32_t site) {
    for (const Sentence &s : SENTENCES)
        if (s.site == site) return &s;
    return nullptr;
}

const char *meaning(Codes family, uint32_t code) {
    switch (family) {
        case Codes::library:
            for (const LibraryCode &c : LIBRARY_CODES)
                if (c.code == code) return c.meaning;
            return nullptr;
        case Codes::service:
            switch (code) {
                case VULC_ALREADY_STARTED:
                    return "the name is already started on the node";
                case VULC_INVALID_HANDLE:
                    return "the task's handles are not valid";
                case VULC_NO_MEMORY:
                    return "no memory";
                case VULC_UNREACHABLE:
                    return "the destination is not reachable";
                case VULC_NOT_STARTED:
                    return "the task is not started";
                case VULC_SYSTEM_ERROR:
                    return "the system failed";
                case VULC_INVALID_REQUEST:
                    return "the request is not valid";
                default:
                    return nullptr;
            }
        case Codes::system:
            switch (code) {
                case plat::ERR_NOT_FOUND:
                    return "not found";
                case plat::ERR_INVALID_HANDLE:
                    return "invalid handle";
                case plat::ERR_NO_MEMORY:
                    return "no memory";
                case plat::ERR_INVALID_PARAMETER:
                    return "invalid parameter";
                case plat::ABANDONED:
                    return "abandoned by a thread that ended owning it";
                case plat::ERR_ALREADY_EXISTS:
                    return "the name exists on the node";
                case plat::ERR_NOT_OWNER:
                    return "not the owner";
                case plat::TIMEOUT:
                    return "timed out";
                default:
                    return nullptr;
            }
        case Codes::wait_list:
            return code == RL_NOT_FOUND ? "no waiter with that key" : "the wait list failed";
        case Codes::element:
            return "a length or element does not fit the message";
        default:
            return nullptr;
    }
}

class Out {
  public:
    Out(char *buf, size_t cap) : buf_(buf), cap_(cap) { buf_[0] = '\0'; }
    void add(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        if (size_ + 1 >= cap_) return;
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(buf_ + size_, cap_ - size_, format, args);
        va_end(args);
        if (n > 0) size_ = std::min(cap_ - 1, size_ + static_cast<size_t>(n));
    }
    void add_text(const char *text, size_t n) {
        while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
        add("%.*s", static_cast<int>(n), text);
    }

  private:
    char *buf_;
    size_t cap_;
    size_t size_ = 0;
};

void add_code(Out &out, Codes family, uint32_t code) {
    const char *m = meaning(family, code);
    if (m != nullptr)
        out.add("%u (%s)", code, m);
    else
        out.add("%u", code);
}

// readable: the item's bytes, when it holds at least n of them and they may be read.
const uint8_t *readable(const VULZ_ITEM &item, size_t n) {
    if (item.data == nullptr || item.length < n) return nullptr;
    if (VULZCHKPOINTER(item.data, static_cast<uint32_t>(n)) == 0) return nullptr;
    return static_cast<const uint8_t *>(item.data);
}

constexpr size_t NAME_SHOWN = 12;  // of a name passed by the caller, which may be too long

// exit_name: the exit name the first item carries, into name (terminated, blanks dropped).
void exit_name(Item kind, const VULZ_ITEM *items, uint32_t count, char name[NAME_SHOWN + 4]) {
    std::memset(name, 0, NAME_SHOWN + 4);
    if (count == 0) return;
    const VULZ_ITEM &item = items[0];
    const uint8_t *p = nullptr;
    switch (kind) {
        case Item::name:
            if ((p = readable(item, 8))) std::memcpy(name, p, 8);
            break;
        case Item::name_pointer:
            if (const uint8_t *q = readable(item, sizeof(const char *))) {
                const char *text = nullptr;
                std::memcpy(&text, q, sizeof text);
                size_t n = 0;
                while (n < NAME_SHOWN && text != nullptr && VULZCHKPOINTER(text + n, 1) != 0 &&
                       text[n] != '\0')
                    name[n] = text[n], ++n;
                if (n == NAME_SHOWN && VULZCHKPOINTER(text + n, 1) != 0 && text[n] != '\0')
                    std::memcpy(name + n, "...", 3);
            }
            break;
        case Item::mailslot_path:
            if ((p = readable(item, 1))) {
                const char *path = reinterpret_cast<const char *>(p);
                const char *after = std::strstr(path, "VULEQUEUE");
                if (after != nullptr) std::strncpy(name, after + 9, 8);
            }
            break;
        case Item::request:
        case Item::send_request:
            if ((p = readable(item, sizeof(VULC_HEAD)))) std::memcpy(name, p + 4, 8);
            break;
        case Item::message:
            if ((p = readable(item, codec::HEADER_SIZE)))
                std::memcpy(name, p + VULC_HDR_DEST_NAME, 8);
            break;
        case Item::invocation:
            if ((p = readable(item, sizeof(InvocationRecord))))
                std::memcpy(name, reinterpret_cast<const InvocationRecord *>(p)->destination_name,
                            8);
            break;
        case Item::queue_start:
            if ((p = readable(item, sizeof(QueueStartRecord))))
                std::memcpy(name, reinterpret_cast<const QueueStartRecord *>(p)->name, 8);
            break;
        case Item::wire_block:
            if ((p = readable(item, codec::BLOCK_SIZE))) std::memcpy(name, p + 8, 8);
            break;
        default:
            break;
    }
    for (size_t i = std::strlen(name); i > 0 && name[i - 1] == ' '; --i) name[i - 1] = '\0';
    for (size_t i = 0; name[i] != '\0'; ++i)
        if (name[i] < ' ' || name[i] > '~') name[i] = '?';
}

// The send request's destination; a reply's destination that is gone reads as such.
void add_destination(Out &out, const Sentence &s, uint32_t code, const VULZ_ITEM *items,
                     uint32_t count) {
    const uint8_t *p = count > 0 ? readable(items[0], sizeof(VULC_SNDDATA)) : nullptr;
    if (p == nullptr) {
        out.add("its destination");
        return;
    }
    const auto *request = reinterpret_cast<const VULC_SNDDATA *>(p);
    out.add("task ");
    out.add_text(request->dest_app, 8);
    out.add(" on node ");
    out.add_text(request->dest_node, 24);
    // A reply that finds its sender gone: the sender (kavi send, a KaviSend) gave up or ended.
    if (code == VULC_UNREACHABLE && s.site != 949 && s.site != 840) {
        uint32_t correlation = 0;
        const auto *msg = static_cast<const uint8_t *>(request->buffer);
        size_t needed = codec::FIRST_ELEMENT_OFFSET + 4 + codec::BLOCK_SIZE;
        if (msg != nullptr && request->send_length >= needed &&
            VULZCHKPOINTER(msg, static_cast<uint32_t>(needed)) != 0)
            correlation = codec::correlation_in_wire(msg + codec::FIRST_ELEMENT_OFFSET + 4);
        out.add(" (the sender of command 0x%08X is gone: it gave up waiting or ended)",
                correlation);
    }
}

// Who holds an exit name on this node, when it is started there.
void add_holder(Out &out, const char *name) {
    char padded[8];
    std::memset(padded, ' ', 8);
    std::memcpy(padded, name, std::min<size_t>(std::strlen(name), 8));
    VULC_TASKINFO tasks[128];
    uint32_t n = 0;
    if (vulclisttasks(tasks, 128, &n) != VULC_OK) return;
    auto check = kavc::request_for<VULC_CHECKTASK>(padded);
    vulcchecktask(&check);
    for (uint32_t i = 0; i < n && i < 128; ++i) {
        if (std::memcmp(tasks[i].task, padded, 8) != 0) continue;
        out.add("; exit %s is already registered on node ", name);
        out.add_text(check.node, 24);
        if (tasks[i].pid != 0) out.add(" (pid %u)", tasks[i].pid);
        return;
    }
}

const char *why_invalid(uint32_t reason) {
    switch (reason) {
        case NAME_RESERVED:
            return "KAVIEXIT is the name of the node's router";
        case NAME_BAD_CHARACTER:
            return "a name may not hold blanks, control characters, '/' or '\\'";
        default:
            return "a name has 1 to 8 readable characters";
    }
}

}  // namespace

const char *registration_failure(uint32_t code) {
    for (const LibraryCode &c : LIBRARY_CODES)
        if (c.code == code && c.registration != nullptr) return c.registration;
    return "a system error; the error log says which";
}

bool has_sentence(uint32_t line) {
    return find(line) != nullptr;
}

bool describe_entry(uint32_t line, uint32_t code, uint32_t reason, const VULZ_ITEM *items,
                    uint32_t count, char *buf, size_t cap) {
    Out out(buf, cap);
    const Sentence *s = find(line);
    if (s == nullptr) {
        out.add("site %u failed with code %u", line, code);
        return false;
    }
    char name[NAME_SHOWN + 4];
    exit_name(s->item, items, count, name);
    for (const char *t = s->text; *t != '\0';) {
        const char *open = std::strchr(t, '{');
        if (open == nullptr) {
            out.add("%s", t);
            break;
        }
        out.add("%.*s", static_cast<int>(open - t), t);
        const char *close = std::strchr(open, '}');
        std::string_view key(open + 1, static_cast<size_t>(close - open - 1));
        if (key == "name") {
            out.add("%s", name[0] != '\0' ? name : "(unknown)");
        } else if (key == "code") {
            add_code(out, s->code, code);
        } else if (key == "reason") {
            add_code(out, s->reason, reason);
        } else if (key == "dest") {
            add_destination(out, *s, code, items, count);
        } else if (key == "number") {
            const uint8_t *p = count > 0 ? readable(items[0], 4) : nullptr;
            uint32_t v = 0;
            if (p != nullptr) std::memcpy(&v, p, 4);
            out.add("%u", v);
        } else if (key == "holder") {
            if (reason == plat::ERR_ALREADY_EXISTS || code == VULC_ALREADY_STARTED)
                add_holder(out, name);
        } else if (key == "why") {
            out.add("%s", why_invalid(reason));
        }
        t = close + 1;
    }
    return true;
}

void log_error(const char *function, uint32_t code, uint32_t reason, uint32_t line, uint32_t count,
               ...) {
    VULZ_ITEM items[ITEMS_USED] = {};
    va_list args;
    va_start(args, count);
    for (uint32_t i = 0; i < count && i < ITEMS_USED; ++i) {
        items[i].data = va_arg(args, const void *);
        items[i].length = va_arg(args, uint32_t);
    }
    va_end(args);
    if (count > ITEMS_USED) count = ITEMS_USED;
    char sentence[SENTENCE_CAP];
    describe_entry(line, code, reason, items, count, sentence, sizeof sentence);
    VULZLOGERRORTEXT(function, code, reason, line, VULZ_LEVEL, sentence, count, items);
}

}  // namespace kavi
