// reply.h — the two replies to a command: the full reply after the exit function ran, and the
// status reply of the library's own for a command that never reached it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exit/codec.h"
#include "kaviexit.h"

namespace kavi {

// VulequetCheckAndAddSV: appends the text element of one field to a reply being built, when the
// field qualifies (pointer not null, capacity not 0), cutting the text to the capacity.
void VulequetCheckAndAddSV(char *text, uint32_t capacity, uint16_t type, uint16_t *running_length,
                           uint8_t **position);
// VulequetSendReply: answers the command in message with one status element, sends it to the
// command's origin and releases the message. The caller must not touch message afterwards.
void VulequetSendReply(uint8_t *message, uint32_t correlation, uint16_t status);

// What each of the 25 variable fields may carry back, in codec::FIELDS order: text length + 1
// (0 for a null pointer), or the data length field, as they stood before the exit function ran.
struct Capacities {
    uint32_t of[codec::FIELD_COUNT];
};
void measure_capacities(const _VULE_PARAMETERS32 &block, Capacities *out);

constexpr size_t STATUS_REPLY_LENGTH = 126;

// build_full_reply: rewrites the element block of message (message_length bytes received, with
// the communication service's spare bytes behind them) as the full reply to block, as the exit
// function left it: the block, the fields that qualify under their capacities, and a status
// element. Texts longer than their capacity are cut in place and data lengths in block lowered
// to it. The header's total length is set; the result is the number of bytes to send. A reply
// that cannot be expressed in a 16-bit total length becomes a status reply with the same status.
uint32_t build_full_reply(uint8_t *message, size_t message_length, _VULE_PARAMETERS32 *block,
                          const Capacities &capacities, uint16_t status, uint32_t correlation);
// build_status_reply: message becomes the 126-byte status reply; the result is its length.
uint32_t build_status_reply(uint8_t *message, uint32_t correlation, uint16_t status);

// send_reply: sends length bytes of message from task `task` to the application and node named;
// release_message: gives the buffer back. Failures are logged under function and line.
void send_reply(uint8_t *message, uint32_t length, const char task[8], const char origin_name[8],
                const char origin_node[24], const char *function, uint32_t line);
void release_message(uint8_t *message, const char task[8], const char *function, uint32_t line);

}  // namespace kavi
