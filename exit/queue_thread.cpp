// queue_thread.cpp — VuleQueThread: receives every message for one exit, checks it, and hands a
// command to an invocation thread (or the exit's dispatcher) and an answer to the wait list.
#include "exit/queue_thread.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "exit/codec.h"
#include "exit/dispatcher.h"
#include "exit/exit_table.h"
#include "exit/invocation.h"
#include "exit/message_walk.h"
#include "exit/records.h"
#include "exit/reply.h"
#include "exit/slot.h"
#include "exit/stats.h"
#include "exit/trace.h"
#include "exit/wait_list.h"
#include "kaviexit.h"
#include "services/kavcacm/request_block.h"

namespace kavi {
namespace {

using namespace codec;

constexpr const char *FN = "VuleQueThread";
constexpr uint32_t START_ATTEMPTS = 60;
constexpr uint16_t ANSWER_STATUS = 5;  // what an answer of function code 1 or 2 reports
constexpr uint16_t LOGGED_ELEMENT_HEAD = 6;

constexpr uint32_t START_PAUSE_DEFAULT_MS = 500;
constexpr uint32_t START_PAUSE_MAX_MS = 60000;

// The pause after each invocation-thread start paces an exit to about two new commands a
// second. KAVI_START_PAUSE_MS lets an operator shorten it (0: none) for exits that need many
// commands at once; a value that is not a number up to a minute leaves the default.
uint32_t start_pause_ms() {
    std::string value;
    if (!plat::env_get("KAVI_START_PAUSE_MS", &value) || value.empty())
        return START_PAUSE_DEFAULT_MS;
    char *end = nullptr;
    unsigned long ms = strtoul(value.c_str(), &end, 10);
    return *end == '\0' && value[0] != '-' && ms <= START_PAUSE_MAX_MS ? static_cast<uint32_t>(ms)
                                                                       : START_PAUSE_DEFAULT_MS;
}

class QueueThread {
  public:
    explicit QueueThread(QueueStartRecord *start) : start_(start) {}
    void run();

  private:
    void begin();
    void end();
    void handle(uint8_t *msg, size_t size);
    void handle_command(uint8_t *msg, size_t size);
    void handle_answer(uint8_t *msg, size_t size);
    void hand_over(InvocationRecord *record);
    bool release(uint8_t *msg);
    void close_inbox();
    InvocationRecord *new_record(uint32_t kind);
    bool termination_begun();

    QueueStartRecord *start_;
    VULC_FREEMEM release_{};
    VULC_RCVDATA receive_{};
    VULC_SOCWAIT wait_{};
    uint32_t length_ = 0;
    void *buffer_ = nullptr;
    bool stop_ = false;
    // The stop element came: the inbox takes no more messages, and the commands still in it are
    // answered VULE_EXIT_ENDED instead of run, so that each is answered before the inbox goes.
    bool closing_ = false;
    bool dispatcher_running_ = false;
    uint16_t no_dispatcher_status_ = 0;  // run mode 0 without a dispatcher: what commands get
    // Run mode 0: made before anything is received, so the end can always stop the dispatcher.
    InvocationRecord *stop_record_ = nullptr;
};

void QueueThread::run() {
    begin();
    uint32_t memory_waits = 0;
    while (!stop_) {
        if (start_->wait_handle != 0) vulcsocwait(&wait_);
        uint32_t rc = vulcrcvdata(&receive_);
        if (rc == VULC_NO_DATA) continue;
        if (rc == VULC_CLOSED) break;  // closed, and everything in the inbox is answered
        if (rc != VULC_OK) {
            KAVI_LOG(FN, rc, receive_.head.reason, 440, 1, KAVI_ITEM(start_->mailslot));
            // The message stays with the service, so a shortage of memory is waited out as a
            // failed thread start is, instead of ending the exit with its commands unanswered.
            if (rc == VULC_NO_MEMORY && ++memory_waits < START_ATTEMPTS) {
                plat::sleep_ms(start_pause_ms());
                continue;
            }
            break;
        }
        memory_waits = 0;
        KAVI_TRACE(VULZ_KIND_DATA, FN, 450, 1, buffer_, length_);
        handle(static_cast<uint8_t *>(buffer_), length_);
    }
    end();
}

InvocationRecord *QueueThread::new_record(uint32_t kind) {
    auto *record = static_cast<InvocationRecord *>(plat::alloc_zeroed(sizeof(InvocationRecord)));
    if (record != nullptr) {
        record->exit_function = start_->exit_function;
        record->run_mode = start_->run_mode;
        record->exit_index = start_->exit_index;
        record->kind = kind;
    }
    return record;
}

void QueueThread::begin() {
    const void *address = start_;
    KAVI_TRACE(VULZ_KIND_ENTRY, FN, 400, 2, KAVI_ITEM(address), start_->name, 8u);
    release_ = kavc::request_for<VULC_FREEMEM>(start_->name);
    receive_ = kavc::request_for<VULC_RCVDATA>(start_->name);
    receive_.mailslot_handle = reinterpret_cast<VULC_HANDLE>(start_->mailslot);
    receive_.receive_handle = start_->receive_handle;
    receive_.wait_handle = start_->wait_handle;
    receive_.length_out = &length_;
    receive_.buffer_out = &buffer_;
    wait_.length = sizeof wait_;
    wait_.timeout_ms = -1;
    wait_.wait_handle = start_->wait_handle;
    wait_.mailslot_handle = reinterpret_cast<VULC_HANDLE>(start_->mailslot);
    if (start_->run_mode != 0) return;

    InvocationRecord *dispatcher_start = new_record(INVOCATION_COMMAND);
    stop_record_ = new_record(INVOCATION_STOP);
    uint32_t rc = plat::ERR_NO_MEMORY;
    if (dispatcher_start != nullptr && stop_record_ != nullptr)
        rc = plat::thread_start(VuleSingleThreadDispatcher, dispatcher_start);
    if (rc == plat::OK) {
        dispatcher_running_ = true;
    } else {
        // Without a dispatcher no command can run; each is answered as one without a thread
        // (or memory) is, rather than left unanswered in the mailslot.
        KAVI_LOG(FN, 0, rc, 410, 1, start_->name, 8u);
        plat::mem_free(dispatcher_start);
        no_dispatcher_status_ =
            rc == plat::ERR_NO_MEMORY ? VULE_NO_COMMAND_MEMORY : VULE_NO_COMMAND_THREAD;
    }
}

void QueueThread::end() {
    VuleRLTermExit(start_->name);
    plat::pause_here(plat::Pause::queue_answers_closed);
    ExitSlot &slot = exit_table[start_->exit_index];
    if (dispatcher_running_) {
        VuleSingleThreadPost(stop_record_);  // the dispatcher frees it
        stop_record_ = nullptr;
        plat::event_wait(slot.dispatcher_ended, plat::WAIT_FOREVER);
    }
    plat::mem_free(stop_record_);
    leave_slot(&slot, start_->slot_generation, start_->queue_ended);
    KAVI_TRACE(VULZ_KIND_EXIT, FN, 690, 1, start_->name, 8u);
}

// termination_begun: whether the exit's own termination has sent the stop. Any task may send a
// stop element; one that comes before termination has begun is somebody else's and is ignored,
// or the exit would stay registered but deaf. A slot that is no longer this thread's, or a
// table mutex that cannot be had, honours the stop: a termination must never be left waiting.
bool QueueThread::termination_begun() {
    ExitSlot &slot = exit_table[start_->exit_index];
    Lock lock(exit_table_mutex);
    return !lock.held() || slot.generation.load() != start_->slot_generation ||
           slot.terminating != 0;
}

// close_inbox: from the stop element on, senders are refused rather than left unanswered. When
// the inbox cannot be closed the thread ends at once, as it did before there was a drain.
void QueueThread::close_inbox() {
    auto close = kavc::request_for<VULC_STOPCOM>(start_->name);
    uint32_t rc = vulcclosecom(&close);
    if (rc == VULC_OK) {
        closing_ = true;
    } else {
        KAVI_LOG(FN, rc, close.head.reason, 570, 1, KAVI_ITEM(close));
        stop_ = true;
    }
}

bool QueueThread::release(uint8_t *msg) {
    release_.buffer = msg;
    uint32_t rc = vulcfreemem(&release_);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, release_.head.reason, 560, 1, KAVI_ITEM(release_));
    }
    return rc == VULC_OK;
}

void QueueThread::handle(uint8_t *msg, size_t size) {
    // The service hands out at least a header's worth of buffer, whatever arrived.
    Header h = read_header(msg);
    switch (h.function_code) {
        case FUNCTION_COMMAND:
            handle_command(msg, size);
            break;
        case FUNCTION_ANSWER_1:
        case FUNCTION_ANSWER_2:
            handle_answer(msg, size);
            break;
        case FUNCTION_QUERY:
            answer_query(msg, *start_);
            release(msg);
            break;
        case 3:
        case 4:
        case FUNCTION_QUERY_ANSWER:
            release(msg);
            break;
        default:
            KAVI_LOG(FN, 0, h.function_code, 550, 1, msg, static_cast<uint32_t>(size));
            if (!release(msg)) stop_ = true;
            break;
    }
}

void QueueThread::handle_command(uint8_t *msg, size_t size) {
    CommandWalk walk = walk_command(msg, size);
    const uint8_t *wire = walk.wire;
    uint32_t wire_length = wire != nullptr ? 338u : 0u;
    if (walk.unknown) {
        // An unknown element ends the walk; the command runs with what came before it.
        const Element &e = walk.element;
        uint16_t shown = e.length < LOGGED_ELEMENT_HEAD ? e.length : LOGGED_ELEMENT_HEAD;
        KAVI_LOG(FN, 0, e.type, 490, 3, e.body - 4, uint32_t{shown}, msg,
                 static_cast<uint32_t>(size), wire, wire_length);
    }
    switch (walk.outcome) {
        case CommandOutcome::bad_header:
            KAVI_LOG(FN, 0, 0, 460, 1, msg, static_cast<uint32_t>(size));
            release(msg);
            return;
        case CommandOutcome::empty_block:
            KAVI_LOG(FN, 0, 0, 470, 2, KAVI_ITEM(walk.remaining), msg, static_cast<uint32_t>(size));
            release(msg);
            return;
        case CommandOutcome::status: {
            // The message now belongs to the waiter; when none waits it is dropped here.
            const Element &e = walk.element;
            uint32_t rc = VuleRLChange(start_->name, status_correlation_of(e), status_code_of(e),
                                       msg, wire, message_id_of(msg));
            if (rc != RL_OK) {
                KAVI_LOG(FN, rc, 0, 480, 1, e.body - 4, static_cast<uint32_t>(e.length));
                release(msg);
            }
            return;
        }
        case CommandOutcome::stop:
            if (!termination_begun()) {
                KAVI_LOG(FN, 0, TYPE_STOP, 505, 1, msg, static_cast<uint32_t>(size));
                release(msg);
                return;
            }
            release(msg);
            if (!closing_) close_inbox();
            return;
        case CommandOutcome::malformed:
            KAVI_LOG(FN, 0, static_cast<uint32_t>(walk.error), 500, 2, msg,
                     static_cast<uint32_t>(size), wire, wire_length);
            release(msg);
            return;
        case CommandOutcome::command:
            break;
    }
    if (closing_) {
        VulequetSendReply(msg, walk.correlation, VULE_EXIT_ENDED);
        return;
    }
    InvocationRecord *record = new_record(INVOCATION_COMMAND);
    if (record == nullptr) {
        KAVI_LOG(FN, VULE_NO_COMMAND_MEMORY, 0, 520, 1, wire, 338u);
        VulequetSendReply(msg, walk.correlation, VULE_NO_COMMAND_MEMORY);
        return;
    }
    Header h = read_header(msg);
    record->block = &record->native_block;
    record->native_block = walk.block;
    record->message = msg;
    record->message_length = static_cast<uint32_t>(size);
    record->correlation = walk.correlation;
    memcpy(record->destination_name, h.destination_name, sizeof record->destination_name);
    memcpy(record->origin_name, h.origin_name, sizeof record->origin_name);
    memcpy(record->origin_node, h.origin_node, sizeof record->origin_node);
    hand_over(record);
}

void QueueThread::handle_answer(uint8_t *msg, size_t size) {
    const uint8_t *wire = answer_block(msg, size);
    if (wire == nullptr ||
        VuleRLChange(start_->name, correlation_in_wire(wire), ANSWER_STATUS, msg, wire, 0) != RL_OK)
        release(msg);
}

void QueueThread::hand_over(InvocationRecord *record) {
    if (start_->run_mode == 0 && dispatcher_running_) {
        VuleSingleThreadPost(record);
        return;
    }
    if (start_->run_mode == 0) {
        uint8_t *msg = record->message;
        uint32_t correlation = record->correlation;
        plat::mem_free(record);
        VulequetSendReply(msg, correlation, no_dispatcher_status_);
        return;
    }
    record->active = enter_active(record->message, record->correlation);
    uint32_t pause = start_pause_ms();
    uint32_t rc = plat::OK;
    for (uint32_t attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        rc = plat::thread_start(VulequetInvokeExit, record);
        plat::sleep_ms(pause);
        if (rc == plat::OK) return;
    }
    KAVI_LOG(FN, rc, 0, 530, 1, KAVI_ITEM(*record));
    uint8_t *msg = record->message;
    uint32_t correlation = record->correlation;
    const ActiveTicket ticket = record->active;
    plat::mem_free(record);
    if (begin_reply(ticket)) {
        VulequetSendReply(msg, correlation, VULE_NO_COMMAND_THREAD);
        end_reply(ticket);
    } else {
        release(msg);  // a termination answered it meanwhile
    }
}

}  // namespace

void VuleQueThread(void *start_record) {
    auto *start = static_cast<QueueStartRecord *>(start_record);
    QueueThread(start).run();
    plat::mem_free(start);
}

}  // namespace kavi
