// send.cpp — KaviSend: an exit sends a command to another exit and waits for its answer on the
// response wait list.
#include <cstring>
#include <iterator>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "exit/send_message.h"
#include "exit/trace.h"
#include "exit/wait_list.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"

namespace kavi {
namespace {

const char F[] = "KaviSend";
const char ROUTER[8] = {'K', 'A', 'V', 'I', 'E', 'X', 'I', 'T'};

// copy_node: a target node as far as it can be read: a binary address whole, a text up to its
// terminator.
void copy_node(const char *target_node, char node[send::NODE_LENGTH]) {
    if (!plat::pointer_readable(target_node, 1)) return;
    if (send::is_binary_node(target_node) &&
        plat::pointer_readable(target_node, send::NODE_LENGTH)) {
        std::memcpy(node, target_node, send::NODE_LENGTH);
        return;
    }
    for (size_t i = 0; i < send::NODE_LENGTH && plat::pointer_readable(target_node + i, 1) &&
                       target_node[i] != '\0';
         ++i)
        node[i] = target_node[i];
}

// What a trace or log shows of the arguments: as much of each as can be read, never more.
struct ShownArguments {
    char calling[8] = {};
    char target[8] = {};
    char node[send::NODE_LENGTH] = {};
    uint8_t block[codec::BLOCK_SIZE] = {};

    ShownArguments(const char *calling_exit, const char *target_exit, const char *target_node,
                   const _VULE_PARAMETERS32 *parameters) {
        copy_traced_name(calling_exit, calling);
        copy_traced_name(target_exit, target);
        copy_node(target_node, node);
        if (parameters != nullptr && plat::pointer_readable(parameters, sizeof *parameters))
            codec::encode_block(*parameters, block);
    }
};

void trace_call(uint32_t kind, uint32_t line, const uint32_t *result, const char *calling_exit,
                const char *target_exit, const char *target_node,
                const _VULE_PARAMETERS32 *parameters) {
    ShownArguments shown(calling_exit, target_exit, target_node, parameters);
    if (result == nullptr)
        VULZTRACE(F, line, kind, VULZ_LEVEL, 4, shown.calling, 8u, shown.target, 8u, shown.node,
                  uint32_t{send::NODE_LENGTH}, shown.block, uint32_t{codec::BLOCK_SIZE});
    else
        VULZTRACE(F, line, kind, VULZ_LEVEL, 5, result, 4u, shown.calling, 8u, shown.target, 8u,
                  shown.node, uint32_t{send::NODE_LENGTH}, shown.block,
                  uint32_t{codec::BLOCK_SIZE});
}

// fields_readable: every field of a readable block that the message will carry can be read, as
// far as its first byte (texts) or its length (data). One request asks for all of them.
bool fields_readable(const _VULE_PARAMETERS32 &block) {
    static char *_VULE_PARAMETERS32::*const TEXTS[] = {&_VULE_PARAMETERS32::command_name,
                                                       &_VULE_PARAMETERS32::command_string,
                                                       &_VULE_PARAMETERS32::display_name,
                                                       &_VULE_PARAMETERS32::display_resource_type,
                                                       &_VULE_PARAMETERS32::hb_source,
                                                       &_VULE_PARAMETERS32::hb_sub_source,
                                                       &_VULE_PARAMETERS32::hb_origin,
                                                       &_VULE_PARAMETERS32::hb_sub_origin,
                                                       &_VULE_PARAMETERS32::hb_hostname,
                                                       &_VULE_PARAMETERS32::data1,
                                                       &_VULE_PARAMETERS32::data2,
                                                       &_VULE_PARAMETERS32::data3,
                                                       &_VULE_PARAMETERS32::data4,
                                                       &_VULE_PARAMETERS32::hb_es_managed_node,
                                                       &_VULE_PARAMETERS32::business_sys_name};
    plat::ReadRange ranges[std::size(TEXTS) + codec::FIELD_COUNT];
    size_t count = 0;
    for (char *_VULE_PARAMETERS32::*text : TEXTS)
        if (block.*text != nullptr) ranges[count++] = {block.*text, 1};
    for (const codec::Field &f : codec::FIELDS)
        if (f.form == codec::FieldForm::data && block.*f.data != nullptr)
            ranges[count++] = {block.*f.data, block.*f.length};
    return plat::pointers_readable(ranges, count);
}

// check_arguments: 0 or VULE_INVALID_ARGUMENT, logged.
uint32_t check_arguments(const char *calling_exit, const char *target_exit, const char *target_node,
                         const _VULE_PARAMETERS32 *block, char padded_target[9],
                         char node[send::NODE_LENGTH + 1]) {
    if (calling_exit == nullptr || target_exit == nullptr || target_node == nullptr ||
        block == nullptr) {
        const void *values[4] = {calling_exit, target_exit, target_node, block};
        KAVI_LOG(F, VULE_INVALID_ARGUMENT, 0, 290, 1, values, uint32_t{sizeof values});
        return VULE_INVALID_ARGUMENT;
    }
    // The first byte of each argument and the whole block are asked for in one request, the
    // fields in a second: each request is a system call on every send.
    const plat::ReadRange arguments[] = {
        {calling_exit, 1}, {target_exit, 1}, {target_node, 1}, {block, sizeof *block}};
    char padded_caller[9];
    if (!plat::pointers_readable(arguments, std::size(arguments)) ||
        !pad_readable_name(target_exit, padded_target) ||
        !send::readable_node_address(target_node, node) ||
        !pad_readable_name(calling_exit, padded_caller) || !fields_readable(*block)) {
        ShownArguments shown(calling_exit, target_exit, target_node, nullptr);
        KAVI_LOG(F, VULE_INVALID_ARGUMENT, 0, 276, 3, shown.calling, 8u, shown.target, 8u,
                 shown.node, uint32_t{send::NODE_LENGTH});
        return VULE_INVALID_ARGUMENT;
    }
    return VULE_OK;
}

// look_up_caller: 0 when the calling exit has a slot that is not terminating, else 4 or 5; 7
// when the exit table mutex cannot be taken (it does not exist before the first registration).
uint32_t look_up_caller(const char *calling_exit) {
    uint32_t rc =
        exit_table_mutex == nullptr ? plat::ERR_INVALID_HANDLE : lock_mutex(exit_table_mutex);
    if (rc != plat::OK) {
        KAVI_LOG(F, rc, 0, 349, 0);
        return VULE_SYSTEM_ERROR;
    }
    uint32_t result = VULE_NOT_REGISTERED;
    for (const ExitSlot &slot : exit_table) {
        if (std::strcmp(slot.name, calling_exit) != 0) continue;
        result = slot.terminating == 1 ? VULE_TERMINATING : VULE_OK;
        break;
    }
    if (result == VULE_NOT_REGISTERED) {
        char shown[8] = {};
        copy_traced_name(calling_exit, shown);
        KAVI_LOG(F, VULE_NOT_REGISTERED, 0, 336, 2, shown, 8u, exit_table,
                 uint32_t{sizeof exit_table});
    }
    plat::mutex_release(exit_table_mutex);
    return result;
}

// request_head: the head of a request block of the calling exit.
template <typename Block>
void request_head(Block *request, const char *padded_caller) {
    request->head.length = sizeof *request;
    std::memcpy(request->head.task, padded_caller, 8);
}

// failure_code: what a failed call of the communication service makes of the result.
uint32_t failure_code(uint32_t rc) {
    return rc == VULC_NOT_STARTED ? VULE_NOT_REGISTERED : VULE_SYSTEM_ERROR;
}

// release_buffer: 0, or the result a failed release gives (logged at line).
uint32_t release_buffer(void *buffer, const char *padded_caller, uint32_t line) {
    VULC_FREEMEM request{};
    request_head(&request, padded_caller);
    request.buffer = buffer;
    uint32_t rc = vulcfreemem(&request);
    if (rc == VULC_OK) return VULE_OK;
    KAVI_LOG(F, rc, request.head.reason, line, 1, &request, uint32_t{sizeof request});
    return failure_code(rc);
}

// note_local_node: asks the service for the local node address; the shared copy is written
// only when it changes, so concurrent calls of one node do not write it at all.
uint32_t note_local_node(const char *padded_caller, char local[send::NODE_LENGTH + 1],
                         VULC_CHECKTASK *request) {
    request_head(request, padded_caller);
    uint32_t rc = vulcchecktask(request);
    std::memcpy(local, request->node, send::NODE_LENGTH);
    local[send::NODE_LENGTH] = '\0';
    if (std::memcmp(local_node_address, local, sizeof local_node_address) != 0)
        std::memcpy(local_node_address, local, sizeof local_node_address);
    return rc;
}

// Addresses: the block's two address fields as the caller gave them, put back on every return
// once the message was built from the masked ones.
struct SavedAddresses {
    char server[send::NODE_LENGTH];
    char client[send::NODE_LENGTH];
    void save(const _VULE_PARAMETERS32 &b) {
        std::memcpy(server, b.server_ip_addr, sizeof server);
        std::memcpy(client, b.client_ip_addr, sizeof client);
    }
    void restore(_VULE_PARAMETERS32 *b) const {
        std::memcpy(b->server_ip_addr, server, sizeof server);
        std::memcpy(b->client_ip_addr, client, sizeof client);
    }
};

// send_and_release: sends the built message and gives its buffer back: 0, or the result.
uint32_t send_and_release(uint8_t *buffer, size_t size, const char *padded_caller,
                          const char node[send::NODE_LENGTH + 1]) {
    uint32_t result = VULE_OK;
    VULC_SNDDATA request{};
    request_head(&request, padded_caller);
    std::memcpy(request.dest_app, ROUTER, sizeof request.dest_app);
    std::memcpy(request.dest_node, node, sizeof request.dest_node);
    request.send_length = static_cast<uint32_t>(size);
    request.buffer = buffer;
    uint32_t rc = vulcsnddata(&request);
    if (rc != VULC_OK) {
        KAVI_LOG(F, rc, request.head.reason, 949, 1, &request, uint32_t{sizeof request});
        result = rc == VULC_UNREACHABLE ? uint32_t{VULE_EXIT_ENDED} : failure_code(rc);
    }
    uint32_t released = release_buffer(buffer, padded_caller, 977);
    return released != VULE_OK ? released : result;
}

// A waiting call asks this often whether its target is still served, and gives up when the
// target's node cannot be asked for this many answers in a row (its transport is down).
constexpr int32_t TARGET_CHECK_MS = 1000;
constexpr int UNREACHABLE_CHECKS = 10;

// await_answer: waits for the entry's event; false when the target went away first (nobody
// serves it on its node any more, so no answer can come), or when the answer of a target on
// another node may have been lost with this process's connection to it (reconnects before the
// send is what the service counted then).
bool await_answer(plat::Event *answered, const char node[send::NODE_LENGTH + 1],
                  const char padded_target[9], bool remote, uint32_t reconnects_before) {
    int unreachable = 0;
    while (plat::event_wait(answered, TARGET_CHECK_MS) == plat::TIMEOUT) {
        if (remote && vulcreconnects() != reconnects_before) return false;
        uint32_t rc = vulcfindtask(node, padded_target);
        unreachable = rc == VULC_UNREACHABLE ? unreachable + 1 : 0;
        if (rc == VULC_NOT_STARTED || unreachable == UNREACHABLE_CHECKS) return false;
    }
    return true;
}

// collect_answer: takes the entry out after its event was set (or its target went away) and
// copies the answer back.
uint32_t collect_answer(const char *padded_caller, uint32_t key, _VULE_PARAMETERS32 *block,
                        const SavedAddresses &saved, bool target_gone) {
    uint16_t status = 0;
    uint8_t *message = nullptr;
    const uint8_t *answer_wire = nullptr;
    uint32_t rc = VuleRLDel(padded_caller, key, &status, &message, &answer_wire);
    saved.restore(block);
    // An answer that came while the target was found gone still counts.
    if (rc == RL_OK && target_gone && message == nullptr && status == 0) return VULE_EXIT_ENDED;
    if (rc != RL_OK) {
        KAVI_LOG(F, rc, 0, 1150, 2, padded_caller, 8u, &key, 4u);
        // The entry may have handed out its answer before it failed; nobody else will free it.
        if (message != nullptr) release_buffer(message, padded_caller, 1133);
        return VULE_SYSTEM_ERROR;
    }
    if (answer_wire != nullptr) {
        // The answer lies in the message as a wire image; its fields point at its elements.
        _VULE_PARAMETERS32 answer;
        size_t size = codec::get_u16(message);
        codec::ElementError error = codec::decode_command(message, size, &answer);
        if (error == codec::ElementError::none)
            send::copy_back(answer, block);
        else
            KAVI_LOG(F, static_cast<uint32_t>(error), 0, 1144, 1, message, uint32_t(size));
    }
    uint32_t result = status;
    if (message != nullptr) {
        uint32_t released = release_buffer(message, padded_caller, 1133);
        if (released != VULE_OK) result = released;
    }
    return result;
}

// withdraw: a call that will not wait takes its entry out again, so no stale entry catches a
// later answer with the same correlation; an answer that came already is given back.
void withdraw(const char *padded_caller, uint32_t key) {
    uint8_t *message = nullptr;
    if (VuleRLDel(padded_caller, key, nullptr, &message, nullptr) == RL_OK && message != nullptr)
        release_buffer(message, padded_caller, 1133);
}

// send_command: the call once its arguments are checked and the calling exit is found: the
// message is built and sent, and the answer awaited and copied back.
uint32_t send_command(const char *calling_exit, const char padded_target[9],
                      char node[send::NODE_LENGTH + 1], _VULE_PARAMETERS32 *block) {
    char padded_caller[9] = "        ";
    std::memcpy(padded_caller, calling_exit, std::strlen(calling_exit));
    plat::upper_case(padded_caller);

    char local[send::NODE_LENGTH + 1];
    VULC_CHECKTASK check{};
    uint32_t rc = note_local_node(padded_caller, local, &check);
    if (std::strspn(node, " ") == send::NODE_LENGTH) {
        std::memcpy(node, local, sizeof local);
        std::memcpy(block->server_ip_addr, local, sizeof local);
        std::memcpy(block->client_ip_addr, local, sizeof local);
    }
    if (rc != VULC_OK) {
        KAVI_LOG(F, rc, check.head.reason, 1188, 1, &check, uint32_t{sizeof check});
        return VULE_NOT_REGISTERED;
    }

    size_t size = send::message_size(*block);
    send::step_depth(block);
    if (size > codec::MAX_MESSAGE_SIZE) {
        block->extended_reason_code = static_cast<int32_t>(size);
        uint8_t wire[codec::BLOCK_SIZE];
        codec::encode_block(*block, wire);
        KAVI_LOG(F, static_cast<uint32_t>(size), 0, 1176, 1, wire, uint32_t{sizeof wire});
        return VULE_TOO_LARGE;
    }

    VULC_ALCMEM alloc{};
    request_head(&alloc, padded_caller);
    alloc.size = static_cast<uint32_t>(size);
    rc = vulcalcmem(&alloc);
    if (rc != VULC_OK) {
        KAVI_LOG(F, rc, alloc.head.reason, 1162, 1, &alloc, uint32_t{sizeof alloc});
        return failure_code(rc);
    }
    auto *buffer = static_cast<uint8_t *>(alloc.buffer);

    SavedAddresses saved;
    saved.save(*block);
    send::mask_address(block->server_ip_addr, node, local);
    send::mask_address(block->client_ip_addr, node, local);
    std::memcpy(block->exit_name, padded_target, sizeof block->exit_name);
    send::build_message(buffer, size, *block);

    // The entry exists before the command leaves, so no answer can come too early for it.
    uint32_t key = codec::correlation_of(*block);
    plat::Event *answered = nullptr;
    uint32_t added = VuleRLAdd(padded_caller, key, &answered);
    bool remote = std::memcmp(node, local, send::NODE_LENGTH) != 0;
    uint32_t reconnects = vulcreconnects();
    uint32_t result = send_and_release(buffer, size, padded_caller, node);
    if (result == VULE_OK) result = added;
    if (result != VULE_OK) {
        if (added == RL_OK) withdraw(padded_caller, key);
        saved.restore(block);
        return result;
    }
    bool answered_in_time = await_answer(answered, node, padded_target, remote, reconnects);
    return collect_answer(padded_caller, key, block, saved, !answered_in_time);
}

}  // namespace
}  // namespace kavi

using namespace kavi;

extern "C" KAVI_API uint32_t KAVI_CALL KaviSend(const char *callingExit, const char *targetExit,
                                                const char *targetNode, _VULE_PARAMETERS32 *block) {
    if (KAVZ_TRACING(trace_control, VULZ_MASK_ENTRY))
        trace_call(VULZ_KIND_ENTRY, 216, nullptr, callingExit, targetExit, targetNode, block);
    char padded_target[9];
    char node[send::NODE_LENGTH + 1];
    uint32_t result =
        check_arguments(callingExit, targetExit, targetNode, block, padded_target, node);
    if (result == VULE_OK) {
        block->extended_reason_code = 0;
        result = look_up_caller(callingExit);
    }
    if (result == VULE_OK) result = send_command(callingExit, padded_target, node, block);
    if (KAVZ_TRACING(trace_control, VULZ_MASK_EXIT))
        trace_call(VULZ_KIND_EXIT, 1202, &result, callingExit, targetExit, targetNode, block);
    return result;
}
