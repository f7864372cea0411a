// kavcacm.h — the communication service: tasks on a node, and messages between them.
//
// Every call but vulcsemwait takes one request block, which begins with its own length
// (sizeof the block), the caller's task name (8 characters, blank-padded, no terminator) and
// the return and reason codes the call fills in; each call also returns the return code.
// On a 32-bit build the blocks have exactly their documented sizes (asserted below); on 64-bit
// their handle and pointer fields are native. A block whose length word is not its sizeof is
// refused with VULC_INVALID_REQUEST.
//
// Nodes and tasks: the local node address is KAVI_NODE (the host name when unset), upper-cased
// and blank-padded to 24 bytes. A task is a padded name started on a node by vulcstrtcom; a
// name is started at most once per node, across all its processes, and is stopped when its
// process ends, however it ends. The name "KAVIEXIT" is the router and cannot be started.
//
// Message buffers: every message starts with a 112-byte header that the service fills on send
// (layout below). Every buffer the service hands out, received or allocated, has at least
// VULC_BUFFER_SPARE writable bytes beyond the message and is never shorter than VULC_BUFFER_MIN
// bytes (zero-filled past the message), so a reply may be up to 10 bytes longer than the
// command it answers, and a reader of the header never runs off the end. Only buffers from
// vulcalcmem or vulcrcvdata may be sent or released.
#pragma once

#include <cstdint>

#include "kaviexport.h"

typedef uintptr_t VULC_HANDLE;

constexpr uint32_t VULC_HEADER_LENGTH = 112;
constexpr uint32_t VULC_BUFFER_SPARE = 16;
constexpr uint32_t VULC_BUFFER_MIN = 126;
constexpr uint32_t VULC_MESSAGE_MAX = 0xFFFF;  // the header's total length is 16 bits

// Return codes the callers rely on; any other non-zero code is a failure to log.
constexpr uint32_t VULC_OK = 0;
constexpr uint32_t VULC_ALREADY_STARTED = 2;  // vulcstrtcom: the name is started on the node
constexpr uint32_t VULC_INVALID_HANDLE = 6;   // the handles name no task of this process (any more)
// VULC_NO_MEMORY is also what any call answers when an allocation failed inside it: none throws.
constexpr uint32_t VULC_NO_MEMORY = 8;
constexpr uint32_t VULC_UNREACHABLE = 9;    // vulcsnddata: destination not reachable
constexpr uint32_t VULC_NOT_STARTED = 13;   // the caller's task (or the task named) is not started
constexpr uint32_t VULC_SYSTEM_ERROR = 31;  // the system failed; the reason code holds its code
constexpr uint32_t VULC_INVALID_REQUEST = 87;  // malformed block, name, buffer or length
constexpr uint32_t VULC_NO_DATA = 342;         // vulcrcvdata: nothing waiting, ask again
constexpr uint32_t VULC_CLOSED = 232;       // vulcrcvdata, vulcsocwait: closed, and nothing is left
constexpr uint32_t VULC_SEM_TIMEOUT = 121;  // vulcsemwait, vulcsocwait: the time-out expired
constexpr uint32_t VULC_SEM_SHUTDOWN = 0;   // vulcsemwait: the node was told to shut down
constexpr uint32_t VULC_SEM_SIGNAL = 1;     // vulcsemwait: the process got SIGINT or SIGTERM
// vulcstrtcom: the distributed transport (KAVI_NATS_URL) cannot start: its settings are wrong,
// no server takes the node, or the server refuses it. Said once per process, with why.
constexpr uint32_t VULC_TRANSPORT_FAILED = 1231;

// Message header, little-endian. The service fills every field on send; bytes 50 to 111 are
// the service's own: a message sent from a buffer of vulcalcmem gets a new message id there,
// a message sent from a buffer of vulcrcvdata (a reply) carries them back as they arrived, so
// a sender can match replies to what it sent.
constexpr uint32_t VULC_HDR_TOTAL_LENGTH = 0;    // u16: the whole message, header included
constexpr uint32_t VULC_HDR_TYPE = 2;            // u16: VULC_MESSAGE_TYPE
constexpr uint32_t VULC_HDR_HEADER_LENGTH = 4;   // i16: 108
constexpr uint32_t VULC_HDR_LEVEL = 6;           // u16: 1
constexpr uint32_t VULC_HDR_ORIGIN_NAME = 8;     // char[8]: the sender's task name
constexpr uint32_t VULC_HDR_ORIGIN_NODE = 16;    // char[24]: the sender's node address
constexpr uint32_t VULC_HDR_DEST_NAME = 40;      // char[8]: the receiving task's name
constexpr uint32_t VULC_HDR_FUNCTION = 48;       // u16: function code, 0 = a command
constexpr uint32_t VULC_HDR_SERVICE_LEVEL = 50;  // u16: 1 when the service fields below are set
constexpr uint32_t VULC_HDR_MESSAGE_ID = 52;     // u32: non-zero, unique per origin process
constexpr uint32_t VULC_HDR_SEND_TIME = 56;      // u64: ns since 1970 when first sent
constexpr uint16_t VULC_MESSAGE_TYPE = 0x1040;
constexpr int16_t VULC_HEADER_LENGTH_FIELD = 108;

// A message to the router "KAVIEXIT" goes to the exit whose name (NUL-terminated or blank-padded,
// at most 8 characters) stands at this offset: the exit_name of the parameter block.
constexpr uint32_t VULC_ROUTER_NAME_OFFSET = 128;
constexpr uint32_t VULC_ROUTER_NAME_LENGTH = 9;

struct VULC_HEAD {
    uint32_t length;
    char task[8];
    uint32_t rc;
    uint32_t reason;
};

// vulcstrtcom starts the task. An exit passes its own mailslot's path and handle; a tool (any
// task that is not an exit) passes an empty path and handle 0. Either way its messages arrive
// through the service's inbox, which the returned handles identify.
struct VULC_STRTCOM {  // 72 bytes on 32-bit
    VULC_HEAD head;
    char mailslot[40];            // in: the task's mailslot path, NUL-terminated, or empty
    VULC_HANDLE receive_handle;   // out
    VULC_HANDLE mailslot_handle;  // in
    VULC_HANDLE wait_handle;      // out: 0 means the task need not call vulcsocwait
};

struct VULC_STOPCOM {  // 20 bytes; also the block of vulcclosecom
    VULC_HEAD head;
};

// vulcchecktask: 0 when the task named is started on the node (by any process), else
// VULC_NOT_STARTED; the node address is filled either way.
struct VULC_CHECKTASK {  // 48 bytes
    VULC_HEAD head;
    char node[24];  // out: the local node address, blank-padded
    uint32_t unused;
};

// vulcsocwait: 0 when input may be waiting, VULC_SEM_TIMEOUT, VULC_INVALID_HANDLE.
struct VULC_SOCWAIT {  // 20 bytes; no head beyond the length
    uint32_t length;
    uint32_t zero;
    int32_t timeout_ms;  // negative: no limit
    VULC_HANDLE wait_handle;
    VULC_HANDLE mailslot_handle;
};

// vulcrcvdata never blocks: 0 delivered one message, VULC_NO_DATA nothing is waiting,
// VULC_CLOSED the task was closed (vulcclosecom) and its inbox is empty, VULC_INVALID_HANDLE the
// task was stopped (its inbox is gone). Datagrams shorter than a header,
// or whose header total length disagrees with the bytes that arrived, are logged and dropped.
struct VULC_RCVDATA {  // 44 bytes on 32-bit
    VULC_HEAD head;
    VULC_HANDLE mailslot_handle;
    VULC_HANDLE receive_handle;
    VULC_HANDLE wait_handle;
    uint32_t zero;
    uint32_t *length_out;  // out: the message's length
    void **buffer_out;     // out: the message, the service's buffer until vulcfreemem
};

struct VULC_ALCMEM {  // 28 bytes on 32-bit
    VULC_HEAD head;
    uint32_t size;  // bytes wanted, the 112-byte header included; at most VULC_MESSAGE_MAX
    void *buffer;   // out
};

// vulcsnddata: 0 sent; VULC_NOT_STARTED when the sending task is not started by this process;
// VULC_UNREACHABLE when no task of that name is started on the destination node or the node is
// not the local one. The function code is an extension for server-side tools (1, 2, 3, ...).
struct VULC_SNDDATA {  // 80 bytes on 32-bit; zero it before filling it
    VULC_HEAD head;
    char dest_app[8];    // destination application: a task name, or "KAVIEXIT" (the router)
    char dest_node[24];  // destination node address, blank-padded
    uint32_t zero;
    uint32_t send_length;    // bytes to send, header included, within the buffer
    void *buffer;            // from vulcalcmem or vulcrcvdata
    uint16_t function_code;  // header function code; 0 for everything the exit library sends
    uint16_t reserved1;
    // out (extension): messages of this process to the destination task dropped before this
    // one was sent (for another node: losses of the connection to the other nodes);
    // vulctaskident's count growing past it means the task that got it is gone, or the answer
    // may have been lost.
    uint32_t dropped_before;
    uint8_t reserved[8];
};

// vulcfreemem releases a buffer of the service whether or not the task is still started, and
// whatever task name the block gives (a reply path names the task a received header gave).
struct VULC_FREEMEM {  // 24 bytes on 32-bit
    VULC_HEAD head;
    void *buffer;
};

// vulctaskident (extension): which start of the task `target` holds its name on `node` now.
// Each start of a name has an identity of its own, so a task that ended and was started again,
// by any process, is told apart. 0 (identity set); VULC_NOT_STARTED when no task of that name
// is started; VULC_UNREACHABLE for a node other than the local one that cannot be asked now (no
// distributed transport, or it is reconnecting). Another node reached through the transport
// answers whether the name is served there, with identity 0, and counts as dropped every loss
// of this process's connection to the other nodes.
struct VULC_TASKIDENT {
    VULC_HEAD head;
    char target[8];     // padded task name
    char node[24];      // node address, blank-padded
    uint64_t identity;  // out
    // out: messages of this process to the task's name that were dropped because the task they
    // were on their way to ended first (compare VULC_SNDDATA's dropped_before).
    uint32_t dropped;
};

// Extensions for server-side tools (kavi): the tasks started on a node; the nodes seen.
struct VULC_TASKINFO {
    char task[8];  // padded name
    uint32_t pid;  // the process that started it, 0 when the system cannot tell
};

struct VULC_NODEINFO {
    char node[24];  // node address, blank-padded
};

static_assert(sizeof(void *) != 4 || sizeof(VULC_STRTCOM) == 72);
static_assert(sizeof(VULC_STOPCOM) == 20);
static_assert(sizeof(VULC_CHECKTASK) == 48);
static_assert(sizeof(void *) != 4 || sizeof(VULC_SOCWAIT) == 20);
static_assert(sizeof(void *) != 4 || sizeof(VULC_RCVDATA) == 44);
static_assert(sizeof(void *) != 4 || sizeof(VULC_ALCMEM) == 28);
static_assert(sizeof(void *) != 4 || sizeof(VULC_SNDDATA) == 80);
static_assert(sizeof(void *) != 4 || sizeof(VULC_FREEMEM) == 24);

extern "C" {
KAVI_API uint32_t vulcstrtcom(VULC_STRTCOM *block);
KAVI_API uint32_t vulcstopcom(VULC_STOPCOM *block);
// vulcclosecom (extension): the task takes no more messages: a send to it fails with
// VULC_UNREACHABLE from now on, what is in its inbox can still be received, and then
// vulcrcvdata and vulcsocwait answer VULC_CLOSED. The task stays started until vulcstopcom.
KAVI_API uint32_t vulcclosecom(VULC_STOPCOM *block);
KAVI_API uint32_t vulctaskident(VULC_TASKIDENT *block);
KAVI_API uint32_t vulcchecktask(VULC_CHECKTASK *block);
KAVI_API uint32_t vulcsocwait(VULC_SOCWAIT *block);
KAVI_API uint32_t vulcrcvdata(VULC_RCVDATA *block);
KAVI_API uint32_t vulcalcmem(VULC_ALCMEM *block);
KAVI_API uint32_t vulcsnddata(VULC_SNDDATA *block);
KAVI_API uint32_t vulcfreemem(VULC_FREEMEM *block);
// vulcsemwait: waits timeout_ms (0 only polls; negative: no limit). Returns VULC_SEM_TIMEOUT
// when the time-out expired, VULC_SEM_SHUTDOWN when the node was told to shut down (kavi
// shutdown), VULC_SEM_SIGNAL when the process got SIGINT or SIGTERM during the wait (only where
// the program left their handling at the default, which is restored after), or a failure code.
KAVI_API uint32_t vulcsemwait(uint32_t zero, int32_t timeout_ms);

// Extensions for server-side tools, on the node of this process (KAVI_NODE, read once):
// vulclisttasks: up to capacity tasks into tasks; *count gets how many are started. 0 or a
// failure code.
KAVI_API uint32_t vulclisttasks(VULC_TASKINFO *tasks, uint32_t capacity, uint32_t *count);
// vulcshutdown: ends every vulcsemwait in progress on the node; *ended gets how many. 0 or a
// failure code.
KAVI_API uint32_t vulcshutdown(uint32_t *ended);

// Extensions for any node, this one or one reached through the distributed transport:
// vulcfindtask: whether the task (padded name) is started on node: 0 yes; VULC_NOT_STARTED
// nobody serves it; VULC_UNREACHABLE the node cannot be asked now (no transport, or it is
// reconnecting). A wait for a command's answer asks this to learn that its target went away.
KAVI_API uint32_t vulcfindtask(const char node[24], const char task[8]);
// vulclistnodetasks, vulcshutdownnode: as vulclisttasks and vulcshutdown, for node. Another
// node answers VULC_UNREACHABLE when none of its processes answers.
KAVI_API uint32_t vulclistnodetasks(const char node[24], VULC_TASKINFO *tasks, uint32_t capacity,
                                    uint32_t *count);
KAVI_API uint32_t vulcshutdownnode(const char node[24], uint32_t *ended);
// vulcreconnects: how often this process's connection to the distributed transport was lost (0
// without one). A message on its way to this process when it was lost may be lost with it, so a
// wait for an answer from another node that sees this change gives the answer up.
KAVI_API uint32_t vulcreconnects(void);
// vulclistnodes: the nodes whose processes answer through the distributed transport (none
// without one), up to capacity of them; *count gets how many. 0 or a failure code.
KAVI_API uint32_t vulclistnodes(VULC_NODEINFO *nodes, uint32_t capacity, uint32_t *count);
}
