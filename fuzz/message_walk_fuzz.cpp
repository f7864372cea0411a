// message_walk_fuzz.cpp — any bytes as a datagram that reaches an exit's queue: the service's
// receive check, then the header checks and the element walk the queue thread applies to a
// command or an answer, and the decoding of an answer (function code 1 or 2, or a reply) that a
// waiting KaviSend copies back. Besides the sanitizers' findings, it fails when the walk or the
// decoding hands on anything that does not lie inside the received bytes, or the walk disagrees
// with decode_command.
// Links: kaviexit_testing kavcacm_testing
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "exit/codec.h"
#include "exit/message_walk.h"
#include "services/kavcacm/message.h"

namespace {

using namespace kavi;
using namespace kavi::codec;

void check(bool holds) {
    if (!holds) std::abort();
}

bool inside(const void *p, size_t n, const uint8_t *begin, const uint8_t *end) {
    auto *at = static_cast<const uint8_t *>(p);
    return at >= begin && at <= end && n <= static_cast<size_t>(end - at);
}

// check_fields: every field of a decoded block lies inside the message, each text terminated.
void check_fields(const _VULE_PARAMETERS32 &block, const uint8_t *msg, const uint8_t *end) {
    for (const Field &f : FIELDS) {
        if (f.form == FieldForm::text) {
            const char *text = block.*f.text;
            if (text == nullptr) continue;
            check(inside(text, 1, msg, end));
            check(std::memchr(text, 0, static_cast<size_t>(end - (const uint8_t *)text)) !=
                  nullptr);
        } else if (block.*f.data != nullptr) {
            check(inside(block.*f.data, block.*f.length, msg, end));
        } else {
            check(block.*f.length == 0);
        }
    }
}

// check_answer: what a waiting KaviSend reads of an answer (function code 1 or 2) or a reply
// before its copy-back: the block with every field inside the message, however long the texts
// and counts it carries.
void check_answer(uint8_t *msg, size_t size) {
    _VULE_PARAMETERS32 block{};
    if (decode_command(msg, size, &block) == ElementError::none)
        check_fields(block, msg, msg + size);
}

void check_command(const CommandWalk &walk, uint8_t *msg, size_t size) {
    const uint8_t *end = msg + size;
    if (walk.wire != nullptr) {
        check(inside(walk.wire, BLOCK_SIZE, msg + FIRST_ELEMENT_OFFSET, end));
        check(walk.correlation == correlation_in_wire(walk.wire));
    }
    if (walk.outcome == CommandOutcome::status || walk.unknown) {
        const Element &e = walk.element;
        check(inside(e.body - 4, e.length, msg + FIRST_ELEMENT_OFFSET, end));
        check(e.body_length + 4 == e.length);
        if (walk.outcome == CommandOutcome::status) check(e.body_length >= 6);
    }
    if (walk.outcome == CommandOutcome::status) check_answer(msg, size);
    if (walk.outcome != CommandOutcome::command) return;
    check(walk.wire != nullptr && walk.error == ElementError::none);
    check_fields(walk.block, msg, end);
    // Without an unknown element the command is one decode_command accepts too.
    if (!walk.unknown) {
        _VULE_PARAMETERS32 block{};
        check(decode_command(msg, size, &block) == ElementError::none);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // What the service checks before it hands a datagram out; the walk is tried on every input
    // all the same, as a second line.
    bool handed_out = kavc::header_consistent(data, size);
    if (handed_out) check(size >= HEADER_SIZE && get_u16(data) == size);

    // The walk may read a header's worth, element-block head included, whatever arrived (the
    // service's buffers are never shorter); beyond that only what arrived. The buffer is exactly
    // that long, so a read past it is the sanitizer's to see.
    std::vector<uint8_t> buffer(std::max(size, FIRST_ELEMENT_OFFSET), 0);
    std::memcpy(buffer.data(), data, size);
    uint8_t *msg = buffer.data();
    const std::vector<uint8_t> before = buffer;

    switch (read_header(msg).function_code) {
        case FUNCTION_COMMAND: {
            CommandWalk walk = walk_command(msg, size);
            if (walk.outcome != CommandOutcome::bad_header)
                check(header_valid(read_header(msg), size));
            check_command(walk, msg, size);
            break;
        }
        case FUNCTION_ANSWER_1:
        case FUNCTION_ANSWER_2:
            if (const uint8_t *wire = answer_block(msg, size)) {
                check(inside(wire, BLOCK_SIZE, msg + FIRST_ELEMENT_OFFSET + 4, msg + size));
                check_answer(msg, size);
            }
            break;
        default:
            break;
    }
    check(buffer == before);  // the walk writes nothing into the message
    return 0;
}
