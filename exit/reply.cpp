// reply.cpp — the replies to a command: the full reply composed from the block the exit function
// left, the status reply of the library's own, and the send and release every reply ends with.
#include "exit/reply.h"

#include <cstring>

#include "exit/trace.h"
#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"

namespace kavi {

namespace {

// Replies up to this size are composed on the stack; larger ones in memory of their own.
constexpr size_t LOCAL_SCRATCH = 2048;

bool data_qualifies(const _VULE_PARAMETERS32 &block, const codec::Field &f, uint32_t capacity) {
    return block.*f.data != nullptr && block.*f.length != 0 && capacity != 0;
}

// The longest the elements after the block element can be: texts may still shrink when an
// earlier field's cut lands inside them, never grow.
size_t field_elements_bound(const _VULE_PARAMETERS32 &block, const Capacities &capacities) {
    size_t bound = 0;
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        uint32_t capacity = capacities.of[i];
        if (f.form == codec::FieldForm::text) {
            const char *text = block.*f.text;
            if (text == nullptr || capacity == 0) continue;
            size_t n = strnlen(text, capacity) + 1;
            bound += codec::text_element_length(n > capacity ? capacity : n);
        } else if (data_qualifies(block, f, capacity)) {
            bound += codec::data_element_length(block.*f.length);
        }
    }
    return bound;
}

// The block element shows what the data elements carry, so lengths are lowered before either
// is written.
void lower_data_lengths(_VULE_PARAMETERS32 *block, const Capacities &capacities) {
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        if (f.form == codec::FieldForm::data && data_qualifies(*block, f, capacities.of[i]) &&
            block->*f.length > capacities.of[i])
            block->*f.length = static_cast<uint16_t>(capacities.of[i]);
    }
}

// compose: the reply's elements at scratch; the result is their length. The fields may point
// anywhere, the received elements included, which is why nothing is written into the message
// until every field has been read.
size_t compose(uint8_t *scratch, _VULE_PARAMETERS32 *block, const Capacities &capacities,
               uint16_t status, uint32_t correlation) {
    uint8_t *position = scratch;
    uint16_t running = static_cast<uint16_t>(codec::write_block_element(position, *block));
    position += running;
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        uint32_t capacity = capacities.of[i];
        if (f.form == codec::FieldForm::text) {
            VulequetCheckAndAddSV(block->*f.text, capacity, f.type, &running, &position);
        } else if (data_qualifies(*block, f, capacity)) {
            size_t length =
                codec::write_data_element(position, f.type, block->*f.data, block->*f.length);
            running = static_cast<uint16_t>(running + length);
            position += length;
        }
    }
    position += codec::write_status_element(position, status, correlation);
    return static_cast<size_t>(position - scratch);
}

}  // namespace

void measure_capacities(const _VULE_PARAMETERS32 &block, Capacities *out) {
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        if (f.form == codec::FieldForm::text) {
            const char *text = block.*f.text;
            out->of[i] = text == nullptr ? 0 : static_cast<uint32_t>(strlen(text) + 1);
        } else {
            out->of[i] = block.*f.length;
        }
    }
}

void VulequetCheckAndAddSV(char *text, uint32_t capacity, uint16_t type, uint16_t *running_length,
                           uint8_t **position) {
    KAVI_TRACE(VULZ_KIND_ENTRY, "VulequetCheckAndAddSV", 1393, 2, &capacity, 4u, &type, 2u);
    if (text != nullptr && capacity != 0) {
        size_t n = strnlen(text, capacity) + 1;
        if (n > capacity) {
            text[capacity - 1] = '\0';
            n = capacity;
        }
        size_t length = codec::write_text_element(*position, type, text, n);
        *running_length = static_cast<uint16_t>(*running_length + length);
        *position += length;
    }
    KAVI_TRACE(VULZ_KIND_EXIT, "VulequetCheckAndAddSV", 1425, 0);
}

uint32_t build_full_reply(uint8_t *message, size_t message_length, _VULE_PARAMETERS32 *block,
                          const Capacities &capacities, uint16_t status, uint32_t correlation) {
    lower_data_lengths(block, capacities);
    size_t elements = codec::BLOCK_ELEMENT_LENGTH + field_elements_bound(*block, capacities) +
                      codec::STATUS_ELEMENT_LENGTH;
    auto bound = static_cast<uint32_t>(codec::FIRST_ELEMENT_OFFSET + elements);
    // The capacities keep a reply within 10 bytes of the command, and the buffer has more spare
    // than that; only a command near the 16-bit limit can give a reply too long to describe.
    if (bound > UINT16_MAX || bound > message_length + VULC_BUFFER_SPARE) {
        KAVI_LOG("VulequetInvokeExit", 0, 0, 1300, 1, &bound, 4u);
        return build_status_reply(message, correlation, status);
    }
    uint8_t local[LOCAL_SCRATCH];
    uint8_t *scratch =
        elements <= sizeof local ? local : static_cast<uint8_t *>(plat::alloc_zeroed(elements));
    if (scratch == nullptr) {
        KAVI_LOG("VulequetInvokeExit", plat::ERR_NO_MEMORY, 0, 1305, 1, &elements, 4u);
        return build_status_reply(message, correlation, status);
    }
    size_t length = compose(scratch, block, capacities, status, correlation);
    memcpy(message + codec::FIRST_ELEMENT_OFFSET, scratch, length);
    if (scratch != local) plat::mem_free(scratch);
    size_t element_block = 4 + length;
    codec::set_element_block_length(message, static_cast<uint16_t>(element_block));
    codec::set_total_length(message, static_cast<uint16_t>(codec::HEADER_SIZE + element_block));
    return static_cast<uint32_t>(codec::HEADER_SIZE + element_block);
}

uint32_t build_status_reply(uint8_t *message, uint32_t correlation, uint16_t status) {
    codec::set_element_block_length(message, 4 + codec::STATUS_ELEMENT_LENGTH);
    codec::write_status_element(message + codec::FIRST_ELEMENT_OFFSET, status, correlation);
    // The header's total length must match what is sent, or the receiver's length check drops
    // the reply.
    codec::set_total_length(message, STATUS_REPLY_LENGTH);
    return STATUS_REPLY_LENGTH;
}

void send_reply(uint8_t *message, uint32_t length, const char task[8], const char origin_name[8],
                const char origin_node[24], const char *function, uint32_t line) {
    auto request = kavc::request_for<VULC_SNDDATA>(task);
    memcpy(request.dest_app, origin_name, sizeof request.dest_app);
    memcpy(request.dest_node, origin_node, sizeof request.dest_node);
    request.send_length = length;
    request.buffer = message;
    uint32_t rc = vulcsnddata(&request);
    if (rc != VULC_OK) KAVI_LOG(function, rc, request.head.reason, line, 1, KAVI_ITEM(request));
}

void release_message(uint8_t *message, const char task[8], const char *function, uint32_t line) {
    auto request = kavc::request_for<VULC_FREEMEM>(task);
    request.buffer = message;
    uint32_t rc = vulcfreemem(&request);
    if (rc != VULC_OK) KAVI_LOG(function, rc, request.head.reason, line, 1, KAVI_ITEM(request));
}

void VulequetSendReply(uint8_t *message, uint32_t correlation, uint16_t status) {
    KAVI_TRACE(VULZ_KIND_ENTRY, "VulequetSendReply", 1564, 3, message,
               static_cast<uint32_t>(codec::get_u16(message + codec::ELEMENT_BLOCK_OFFSET)),
               &correlation, 4u, &status, 2u);
    codec::Header header = codec::read_header(message);
    uint32_t length = build_status_reply(message, correlation, status);
    send_reply(message, length, header.destination_name, header.origin_name, header.origin_node,
               "VulequetSendReply", 1607);
    release_message(message, header.destination_name, "VulequetSendReply", 1624);
    KAVI_TRACE(VULZ_KIND_EXIT, "VulequetSendReply", 1630, 0);
}

}  // namespace kavi
