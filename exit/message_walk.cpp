// message_walk.cpp — the header checks and the element walk the queue thread applies to every
// message it receives, before it hands anything to anyone.
#include "exit/message_walk.h"

namespace kavi {

using namespace codec;

CommandWalk walk_command(uint8_t *msg, size_t size) {
    CommandWalk walk;
    if (!header_valid(read_header(msg), size)) return walk;
    ElementReader reader(msg, size);
    if (reader.remaining() <= 0) {
        walk.outcome = CommandOutcome::empty_block;
        walk.remaining = reader.remaining();
        return walk;
    }
    Element e;
    while (reader.next(&e)) {
        if (e.type == TYPE_BLOCK) {
            walk.wire = e.body;
            decode_block(walk.wire, &walk.block);
            clear_fields(&walk.block);
            walk.correlation = correlation_of(walk.block);
        } else if (e.type == TYPE_STATUS) {
            walk.outcome = CommandOutcome::status;
            walk.element = e;
            return walk;
        } else if (e.type == TYPE_STOP) {
            walk.outcome = CommandOutcome::stop;
            return walk;
        } else if (const Field *f = field_for_type(e.type)) {
            if (walk.wire != nullptr) set_field(&walk.block, *f, e);
        } else if (e.type != TYPE_END) {
            walk.element = e;
            walk.unknown = true;
            break;
        }
    }
    walk.error = reader.error();
    // A malformed element, or a command without a parameter block, never reaches the exit.
    bool runs = walk.error == ElementError::none && walk.wire != nullptr;
    walk.outcome = runs ? CommandOutcome::command : CommandOutcome::malformed;
    return walk;
}

const uint8_t *answer_block(const uint8_t *msg, size_t size) {
    ElementReader reader(msg, size);
    Element e;
    if (!header_valid(read_header(msg), size) || !reader.next(&e) || e.type != TYPE_BLOCK)
        return nullptr;
    return e.body;
}

}  // namespace kavi
