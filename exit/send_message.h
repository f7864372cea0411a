// send_message.h — the pieces of KaviSend that work on bytes alone: the node address, the
// command message it sends, the masking of the address fields and the copy-back of an answer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exit/codec.h"
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

// SentFields: what the command message carries of each of the 25 fields, in codec::FIELDS
// order, measured once while the arguments are checked. The message size, the message and the
// limits of the copy-back all come from this one view, so a text that changes during the call
// (one pointed into the block, whose exit_name the call rewrites) cannot make them disagree.
struct SentFields {
    const void *at[codec::FIELD_COUNT];  // null: the field sends nothing
    size_t length[codec::FIELD_COUNT];   // a text with its NUL, or a data count
};

// measure_fields: the fields of block as its message will carry them: every text that is not
// null, read up to its terminator page by page, and every data field whose pointer is not null
// and whose length is not 0, read over its length. False when any of them cannot be read.
bool measure_fields(const _VULE_PARAMETERS32 &block, SentFields *out);

// message_size: the bytes of the command message, header included: the block element, one
// element for each field sent, and the end element. Counted in full width.
size_t message_size(const SentFields &sent);

// build_message: writes the element block of the command message for block and its sent fields
// into msg, which holds `size` = message_size(sent) bytes; the header is left to the
// communication service.
void build_message(uint8_t *msg, size_t size, const _VULE_PARAMETERS32 &block,
                   const SentFields &sent);

// step_depth: raises the depth of correlation_id by one modulo 4096.
void step_depth(_VULE_PARAMETERS32 *block);

// mask_address: replaces an address field of the block that names the target node by
// TARGET_MASK, or else one that names the local node by LOCAL_MASK. Addresses that begin with
// four 0xFF bytes are compared as 24 raw bytes; otherwise as upper-cased text of at most 24
// characters, the field left upper-cased.
void mask_address(char field[25], const char target[NODE_LENGTH + 1],
                  const char local[NODE_LENGTH + 1]);

// copy_back: carries the answer's block into the caller's block. Texts and data go into the
// caller's own areas, never beyond what the caller sent in them: a text is cut to the length it
// was sent with (its NUL included), a data area takes at most the count it was sent with and
// its length says how much it took. correlation_id, the two address fields,
// extended_reason_code and the reserved bytes at 147 and 274 stay the caller's.
void copy_back(const _VULE_PARAMETERS32 &answer, const SentFields &sent,
               _VULE_PARAMETERS32 *caller);

}  // namespace kavi::send
