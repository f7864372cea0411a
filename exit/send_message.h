// send_message.h — the pieces of KaviSend that work on bytes alone: the node address, the
// command message it sends, the masking of the address fields and the copy-back of an answer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kaviexit.h"

namespace kavi::send {

constexpr size_t NODE_LENGTH = 24;
constexpr char TARGET_MASK[] = "************************";
constexpr char LOCAL_MASK[] = "@@@@@@@@@@@@@@@@@@@@@@@@";

// is_binary_node: a node address given as 24 raw bytes begins with four 0xFF bytes.
bool is_binary_node(const char *address);

// readable_node_address: the 24-byte form of a target node of 1 to 24 bytes before its first 0
// byte: a binary address as it stands, a text upper-cased and blank-padded; a NUL follows. The
// caller has checked the first byte; false when the rest is unreadable or of another length.
bool readable_node_address(const char *node, char out[NODE_LENGTH + 1]);

// message_size: the bytes of the command message for block, header included: the block
// element, one element for each text field that is not null and each data field whose pointer
// is not null and whose length is not 0, and the end element. Counted in full width.
size_t message_size(const _VULE_PARAMETERS32 &block);

// build_message: writes the element block of the command message for block into msg, which
// holds `size` = message_size(block) bytes; the header is left to the communication service.
void build_message(uint8_t *msg, size_t size, const _VULE_PARAMETERS32 &block);

// step_depth: raises the depth of correlation_id by one modulo 4096.
void step_depth(_VULE_PARAMETERS32 *block);

// mask_address: replaces an address field of the block that names the target node by
// TARGET_MASK, or else one that names the local node by LOCAL_MASK. Addresses that begin with
// four 0xFF bytes are compared as 24 raw bytes; otherwise as upper-cased text of at most 24
// characters, the field left upper-cased.
void mask_address(char field[25], const char target[NODE_LENGTH + 1],
                  const char local[NODE_LENGTH + 1]);

// copy_back: carries the answer's block into the caller's block. Texts and data are copied into
// the caller's own areas, which must be large enough; correlation_id, the two address fields,
// extended_reason_code and the reserved bytes at 147 and 274 stay the caller's.
void copy_back(const _VULE_PARAMETERS32 &answer, _VULE_PARAMETERS32 *caller);

}  // namespace kavi::send
