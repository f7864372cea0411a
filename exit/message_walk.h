// message_walk.h — what the queue thread makes of a received message: the header checks and the
// walk over the element block, with no thread, log or service call, so they can be tried alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exit/codec.h"
#include "kaviexit.h"

namespace kavi {

enum class CommandOutcome {
    bad_header,   // the header fails its checks
    empty_block,  // the element-block length leaves no room for an element
    status,       // a status element: the message answers a waiting KaviSend
    stop,         // a stop element: the queue ends
    malformed,    // a malformed element, or a command without a parameter block
    command,      // a command for the exit function
};

// CommandWalk: the outcome of walking a command message (function code 0), and what the queue
// thread needs to act on it.
struct CommandWalk {
    CommandOutcome outcome = CommandOutcome::bad_header;
    // command: the native block, its fields pointing at their elements in the message.
    _VULE_PARAMETERS32 block{};
    const uint8_t *wire = nullptr;  // the block's wire image in the message, or null
    uint32_t correlation = 0;       // the block's correlation_id
    long remaining = 0;             // empty_block: what the element-block length leaves
    codec::ElementError error = codec::ElementError::none;  // malformed: the reader's error
    // status: the status element. Otherwise, when `unknown`, the element of unknown type that
    // ended the walk; a command still runs with what came before it.
    codec::Element element{};
    bool unknown = false;
};

// walk_command: the walk over a command of `size` bytes received in msg (the buffer holds at
// least codec::FIRST_ELEMENT_OFFSET bytes, whatever size says). Reads nothing outside the
// received bytes; writes nothing.
CommandWalk walk_command(uint8_t *msg, size_t size);

// answer_block: the wire image of the parameter block an answer (function code 1 or 2) carries
// as its first element, or null when its header or that element fails the checks.
const uint8_t *answer_block(const uint8_t *msg, size_t size);

}  // namespace kavi
