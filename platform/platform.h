// platform.h — everything the libraries need from the operating system, behind opaque handles.
// Logic files include only this header; platform/posix/ and platform/win32/ implement it.
//
// Codes: every call returns 0 for success or a code of one vocabulary, the Windows error
// numbering, whatever the backend: ABANDONED (105) and TIMEOUT (640) are outcomes of waits,
// the ERR_* constants below are the errors callers may test for, and any other system error
// is passed on as a number that callers only log (POSIX: SYSTEM_ERROR_BASE | errno).
//
// Security: mutexes and events are unnamed, so only their own process reaches them. Mailslots
// belong to the node's owner, a user or the group that KAVI_GROUP names: no other user can
// write to one, take a name or list them. Trace and error-log files are the owner's alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

constexpr uint32_t OK = 0;
constexpr uint32_t ERR_NOT_FOUND = 2;           // no such object, e.g. no mailslot of that name
constexpr uint32_t ERR_ACCESS_DENIED = 5;       // the object or the owner's directory is not ours
constexpr uint32_t ERR_INVALID_HANDLE = 6;      // null or closed handle
constexpr uint32_t ERR_NO_MEMORY = 8;           // allocation failed
constexpr uint32_t ERR_INVALID_PARAMETER = 87;  // bad name, size or argument
constexpr uint32_t ABANDONED = 105;  // mutex acquired; its previous owner thread died owning it
constexpr uint32_t ERR_ALREADY_EXISTS = 183;  // a mailslot of that name exists on the node
constexpr uint32_t ERR_CLOSED = 232;          // the mailslot is shut and holds nothing more
constexpr uint32_t ERR_NOT_OWNER = 288;       // release of a mutex the caller does not own
constexpr uint32_t TIMEOUT = 640;             // the wait's time-out expired
constexpr uint32_t SYSTEM_ERROR_BASE =
    0x20000000;  // | native error number, when nothing above fits

// Time-outs are signed milliseconds; a negative value waits without limit, 0 only polls.
constexpr int32_t WAIT_FOREVER = -1;

// ---------------------------------------------------------------------------------------------
// Mutex: unnamed, created not owned, recursive for its owner thread.

struct Mutex;

// mutex_create: 0, ERR_NO_MEMORY. *out is written only on success.
uint32_t mutex_create(Mutex **out);
// mutex_acquire: 0 acquired; ABANDONED acquired, but the previous owner thread ended while it held
// the mutex (reported once; the caller now owns it with count 1); TIMEOUT; ERR_INVALID_HANDLE.
uint32_t mutex_acquire(Mutex *m, int32_t timeout_ms = WAIT_FOREVER);
// mutex_release: 0, ERR_NOT_OWNER, ERR_INVALID_HANDLE. One release per acquire.
uint32_t mutex_release(Mutex *m);
// mutex_close: 0, ERR_INVALID_HANDLE. Closing a mutex that a thread still owns is allowed; the
// owner's end no longer refers to it.
uint32_t mutex_close(Mutex *m);

// ---------------------------------------------------------------------------------------------
// Event: unnamed, manual-reset, created clear. A set releases every thread waiting at that
// moment even when a reset follows at once.

struct Event;

// event_create: 0, ERR_NO_MEMORY. *out is written only on success.
uint32_t event_create(Event **out);
// event_set, event_reset: 0, ERR_INVALID_HANDLE.
uint32_t event_set(Event *e);
uint32_t event_reset(Event *e);
// event_wait: 0 when the event is (or becomes) set, TIMEOUT, ERR_INVALID_HANDLE.
uint32_t event_wait(Event *e, int32_t timeout_ms = WAIT_FOREVER);
// event_close: 0, ERR_INVALID_HANDLE. It waits for a set under way on another thread, so a
// waiter that a set released may close the event at once.
uint32_t event_close(Event *e);

// ---------------------------------------------------------------------------------------------
// Mailslot: a named, message-oriented inbox on the local node. Paths have the Windows form
// "\\.\MAILSLOT\NAME" (prefix and name compared without regard to case). Any process of the
// node's owner may write to it, no other; boundaries are preserved; a writer never stalls
// behind a reader that is busy or asleep, and what it wrote is delivered in order. The name
// lives as long as the handle and is free again when the owning process ends, however it ends.

struct Mailslot;

constexpr size_t MAILSLOT_MAX_MESSAGE = 200 * 1024;  // largest message a write accepts

// mailslot_create: 0; ERR_ALREADY_EXISTS when the path is taken on the node (by any process);
// ERR_INVALID_PARAMETER for a path without the prefix, an empty name or a name too long for
// the node's namespace; ERR_ACCESS_DENIED when the directory of the owner's mailslots is not
// the owner's alone; other system errors. *out is written only on success.
uint32_t mailslot_create(const char *path, Mailslot **out);
// mailslot_wait: waits until a message is queued; *size (may be null) gets its length.
// 0, TIMEOUT, ERR_INVALID_HANDLE.
uint32_t mailslot_wait(Mailslot *m, int32_t timeout_ms, size_t *size);
// mailslot_read: takes the next whole message into buf, waiting up to timeout_ms for one.
// 0 (*len = its length); TIMEOUT; ERR_INVALID_PARAMETER when it does not fit in cap (the message
// stays queued and *len gets its length); ERR_CLOSED once it is shut and empty;
// ERR_INVALID_HANDLE. A buffer of MAILSLOT_MAX_MESSAGE bytes or more is read in one step, the
// cheapest way to receive; reads of one mailslot from several threads take turns then.
uint32_t mailslot_read(Mailslot *m, void *buf, size_t cap, size_t *len, int32_t timeout_ms);
// mailslot_write: one message to the mailslot at path on the local node. 0; ERR_NOT_FOUND when
// no mailslot has that path; ERR_INVALID_PARAMETER for a bad path or a message larger than
// MAILSLOT_MAX_MESSAGE; ERR_NO_MEMORY when the message would have to wait for a full reader
// and the writing process already holds its limit of such messages; ERR_ACCESS_DENIED as for
// mailslot_create; other system errors.
uint32_t mailslot_write(const char *path, const void *data, size_t len);
// mailslot_dropped: how many messages this process wrote to the path were dropped because the
// mailslot they waited for (its reader was full) was shut or closed before it took them. A
// count that grew since a write tells the writer that the mailslot it wrote to is gone.
uint32_t mailslot_dropped(const char *path);
// mailslot_exists: whether a mailslot of that path exists on the node, without side effects.
bool mailslot_exists(const char *path);
// mailslot_shut: no message reaches the mailslot any more (a write to it fails as if it did not
// exist, and so does a message on its way that was not in it yet); what is in it can still be
// read, after which a read answers ERR_CLOSED at once. 0, ERR_INVALID_HANDLE.
uint32_t mailslot_shut(Mailslot *m);
// mailslot_close: 0, ERR_INVALID_HANDLE. The name is free again at once.
uint32_t mailslot_close(Mailslot *m);
// mailslot_identity: which mailslot holds the path now; each mailslot ever created on the node
// has an identity of its own, so one closed and created again is told apart. 0 (*identity set),
// ERR_NOT_FOUND when none holds it, ERR_INVALID_PARAMETER, other system errors.
uint32_t mailslot_identity(const char *path, uint64_t *identity);

struct MailslotInfo {
    std::string path;  // "\\.\MAILSLOT\NAME", the name upper-cased
    uint32_t pid;      // owning process, 0 when the system cannot tell
};
// mailslot_list: the mailslots of the node whose path begins with prefix (case-insensitive; null
// or "" lists them all). 0, ERR_INVALID_PARAMETER for a null out, ERR_ACCESS_DENIED as for
// mailslot_create, other system errors.
uint32_t mailslot_list(const char *prefix, std::vector<MailslotInfo> *out);

// Node: the local node's name, KAVI_NODE (when not empty) or else the host name, upper-cased,
// at most 24 characters, without padding. Read once per process.
const std::string &node_name();
// node_name_too_long: whether KAVI_NODE names a node of more than 24 characters (trailing blanks
// aside). Such a name is refused, never cut: cut, two different names would make one node.
bool node_name_too_long();

// ---------------------------------------------------------------------------------------------
// Threads, time, process.

using ThreadFunction = void (*)(void *arg);
constexpr size_t THREAD_STACK_SIZE = 0x20000;

// thread_start: starts fn(arg) on a new detached thread with the given stack size.
// 0, or a system error (the thread does not exist then and fn is never called).
uint32_t thread_start(ThreadFunction fn, void *arg, size_t stack_size = THREAD_STACK_SIZE);
// thread_end: ends the calling thread at once, as returning from its function would.
[[noreturn]] void thread_end();
// thread_id, process_id: numbers for traces and logs.
uint64_t thread_id();
uint32_t process_id();
// process_name: the running program's file name without its directory, for listings.
const char *process_name();
void sleep_ms(uint32_t ms);
// at_exit: fn runs when the process exits normally (return from main, exit()). 0 or a system error.
uint32_t at_exit(void (*fn)());

// ---------------------------------------------------------------------------------------------
// Memory, strings, environment.

// alloc_zeroed: zero-filled memory or null. mem_free takes null.
void *alloc_zeroed(size_t size);
void mem_free(void *p);
// upper_case: narrow upper-casing in place, byte by byte, as the "C" locale does.
void upper_case(char *s);
// env_get: true and *value when the variable is set (to anything, the empty string included).
bool env_get(const char *name, std::string *value);
// env_set: sets the variable for this process and the children it starts. 0 or a system error.
uint32_t env_set(const char *name, const char *value);
// pointer_readable: whether len bytes at p can be read now. Never faults, also under sanitizers.
bool pointer_readable(const void *p, size_t len);
// pointers_readable: whether every range can be read now, each as pointer_readable answers. A
// check costs a system call; this asks once for all of them.
struct ReadRange {
    const void *p;
    size_t len;
};
bool pointers_readable(const ReadRange *ranges, size_t count);
// error_text: a code of this vocabulary in words, for messages meant for people.
const char *error_text(uint32_t code);
// code_page_lead_bytes: marks lead[b] for each lead byte of the current double-byte code page;
// false (nothing marked) when the code page has none.
bool code_page_lead_bytes(bool lead[256]);

// ---------------------------------------------------------------------------------------------
// Interrupt watch: lets a waiting library end its wait when the process is asked to stop
// (POSIX: SIGINT, SIGTERM) instead of the process dying with work in flight.

struct InterruptWatch;
using InterruptFunction = void (*)(void *arg);

// interrupt_watch_start: until the watch stops, a stop request whose handling the program left
// at the default calls fn(arg) of every active watch, on a thread of the platform, and the
// process goes on; requests whose handling the program chose itself are left alone. When the
// last watch stops, the default handling comes back (unless the program changed it meanwhile).
// 0, ERR_NO_MEMORY, or a system error. *out is written only on success.
uint32_t interrupt_watch_start(InterruptFunction fn, void *arg, InterruptWatch **out);
// interrupt_watch_stop: 0, ERR_INVALID_HANDLE. Once it returns, fn is not running and is not
// called again for this watch. fn must not start or stop watches itself.
uint32_t interrupt_watch_stop(InterruptWatch *w);
// process_stop: asks another process of the node to stop as a stop request would (POSIX: SIGTERM;
// Windows: the event its watches wait for), so its active watches are called, and a process
// without one ends. *how, when given, is the request made, in words for people. 0, ERR_NOT_FOUND
// when no such process runs, ERR_ACCESS_DENIED, or a system error.
uint32_t process_stop(uint32_t pid, const char **how = nullptr);

// ---------------------------------------------------------------------------------------------
// Append-only files, for traces and logs: each write lands whole at the end of the file, so the
// writes of concurrent threads and processes never interleave.

struct AppendFile;

// append_open: opens, creating it when missing (owner-only; readable by the KAVI_GROUP group
// when one is named), a file for appending; a symbolic link is refused. 0 or a system error;
// *out is written only on success.
uint32_t append_open(const char *path, AppendFile **out);
// append_write: appends the whole buffer in one write. 0, or a system error, also for a short
// write (a full device), whose bytes then end the file as a truncated record or line.
uint32_t append_write(AppendFile *f, const void *data, size_t size);
// append_sync: makes the file's data durable. 0 or a system error.
uint32_t append_sync(AppendFile *f);
// append_close: takes null; never closes standard error.
void append_close(AppendFile *f);
// standard_error: the process's standard error as an append-only file, never closed.
AppendFile *standard_error();

// ---------------------------------------------------------------------------------------------
// Fault seam, in testing builds only (KAVI_TESTING): lets tests make calls fail for real.
// Each point lets `pass` calls through, then fails the next `fail` calls (FAIL_ALWAYS: all).
// A testing build also arms points from the environment variable KAVI_FAULTS on first use,
// "point:pass:fail[,point:pass:fail...]", so a child process can be started with faults.

enum class Fault {
    alloc,
    thread_start,
    mailslot_create,
    mailslot_write,
    event_create,
    mutex_create
};
constexpr uint32_t FAIL_ALWAYS = UINT32_MAX;

#ifdef KAVI_TESTING
void fault_arm(Fault point, uint32_t pass, uint32_t fail);
void fault_clear();
// fault_reached: how many calls have reached the point in this process, leaving out those of
// threads that called fault_not_counted, so a test can count what a path allocates while its
// own traffic goes uncounted.
uint64_t fault_reached(Fault point);
void fault_not_counted();
#endif

// Pause points, in testing builds only: places between two steps where a test can hold one
// thread, so that a race happens in the order the test wants. An armed point stops the next
// thread that reaches it until the test releases it; then the point is disarmed.
enum class Pause {
    send_looked_up,         // KaviSend: the calling exit was found, its entry not yet added
    send_watching,          // KaviSend: the wait knows which task got the command
    queue_answers_closed,   // queue thread end: waiters woken, dispatcher not yet stopped
    mailslot_created,       // mailslot create: the mailslot made, not yet in the registry
    mailslot_shut_drained,  // mailslot shut: the queue found empty, writers not yet kept out
    terminate_answering,    // termination: a running command found, its reply not yet sent
};

#ifdef KAVI_TESTING
void pause_here(Pause point);
// pause_arm: the next thread to reach the point stops there.
void pause_arm(Pause point);
// pause_reached: waits up to timeout_ms for a thread to stop at the point; false if none did.
bool pause_reached(Pause point, int32_t timeout_ms);
// pause_release: lets the stopped thread (or the next one to arrive) go on; disarms the point.
void pause_release(Pause point);
#else
inline void pause_here(Pause) {}
#endif

}  // namespace plat
