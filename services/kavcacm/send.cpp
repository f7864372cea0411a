// send.cpp — vulcsnddata: fills the header and delivers to a task of the local node (through
// the router "KAVIEXIT" or by task name) or hands the message to the transport for other nodes;
// the router's choice is made by the sender either way.
#include <cstring>

#include "platform/platform.h"
#include "services/kavcacm/buffers.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/message.h"
#include "services/kavcacm/names.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/tasks.h"
#include "services/kavcacm/transport.h"

using namespace kavc;

namespace {

// check_message: 0 when the buffer is the service's and holds send_length bytes that can carry
// a header; *kind tells whether it arrived (a reply) or was allocated (a new message).
uint32_t check_message(const VULC_SNDDATA *block, BufferKind *kind) {
    size_t capacity = 0;
    if (!buffer_info(block->buffer, &capacity, kind)) return VULC_INVALID_REQUEST;
    if (block->send_length < VULC_HEADER_LENGTH || block->send_length > capacity ||
        block->send_length > VULC_MESSAGE_MAX) {
        return VULC_INVALID_REQUEST;
    }
    return VULC_OK;
}

// route: the task a message for the router goes to, from the exit name it carries.
uint32_t route(const VULC_SNDDATA *block, char dest_name[8]) {
    if (block->send_length < VULC_ROUTER_NAME_OFFSET + VULC_ROUTER_NAME_LENGTH) {
        return VULC_INVALID_REQUEST;
    }
    const char *exit_name = static_cast<const char *>(block->buffer) + VULC_ROUTER_NAME_OFFSET;
    // Nine bytes hold eight characters and a terminator; a full name may lack the terminator.
    if (!pad_name(exit_name, 8, dest_name)) return VULC_UNREACHABLE;
    return VULC_OK;
}

uint32_t deliver_local(VULC_SNDDATA *block, const char dest_name[8], uint32_t *reason) {
    const InboxPath path = inbox_path_of(dest_name);
    block->dropped_before = plat::mailslot_dropped(path.c_str());
    uint32_t rc = plat::mailslot_write(path.c_str(), block->buffer, block->send_length);
    *reason = rc;
    if (rc == plat::OK) return VULC_OK;
    if (rc == plat::ERR_NOT_FOUND) return VULC_UNREACHABLE;
    if (rc == plat::ERR_INVALID_PARAMETER) return VULC_INVALID_REQUEST;
    if (rc == plat::ERR_NO_MEMORY) return VULC_NO_MEMORY;  // the reader is far behind
    return VULC_SYSTEM_ERROR;
}

// deliver_remote: hands the message to the transport; the connection losses counted before it
// leaves stand for the messages dropped before it (an answer may be lost with the connection).
uint32_t deliver_remote(VULC_SNDDATA *block, const char dest_name[8], bool reply,
                        uint32_t *reason) {
    Transport &transport = remote_transport();
    block->dropped_before = transport.lost_connections();
    return transport.send(block->dest_node, dest_name, static_cast<unsigned char *>(block->buffer),
                          block->send_length, reply, reason);
}

}  // namespace

uint32_t vulcsnddata(VULC_SNDDATA *block) try {
    uint32_t rc = check_head(block);
    if (rc != VULC_OK) return rc;
    uint32_t reason = 0;
    BufferKind kind{};
    char dest_name[8];
    bool local = node_is_local(block->dest_node);
    TaskRef sender = task_find(block->head.task);
    if (sender == nullptr) {
        rc = VULC_NOT_STARTED;
    } else if ((rc = check_message(block, &kind)) != VULC_OK) {
        reason = block->send_length;
    } else if (std::memcmp(block->dest_app, ROUTER, 8) == 0) {
        rc = route(block, dest_name);
    } else if (task_name_ok(block->dest_app)) {
        canonical_name(block->dest_app, dest_name);
    } else {
        rc = VULC_UNREACHABLE;
    }
    if (rc == VULC_OK) {
        auto *msg = static_cast<unsigned char *>(block->buffer);
        bool new_message = kind == BufferKind::allocated;
        header_fill(msg, block->send_length,
                    {sender->name, dest_name, block->function_code, new_message});
        // Let go of the sender before the message can arrive: a task's name stays taken while a
        // call holds it, and whoever is answered may stop the task and start it again at once.
        sender.reset();
        rc = local ? deliver_local(block, dest_name, &reason)
                   : deliver_remote(block, dest_name, !new_message, &reason);
    }
    // Unreachable destinations and stopped tasks are outcomes the caller handles and logs.
    if (rc != VULC_OK && rc != VULC_UNREACHABLE && rc != VULC_NOT_STARTED) {
        log_failure(__func__, rc, reason, __LINE__, block, sizeof *block);
    }
    return finish(block, rc, reason);
} catch (...) {
    return out_of_memory(block);
}
