// reply_builder_fuzz.cpp — a command decoded as the queue thread decodes it, a fake exit function
// that changes the block as the input tells it (null pointers, fields pointed into other fields
// or at texts of its own, raised lengths, other block bytes), then the full reply built in the
// received buffer. Besides the sanitizers' findings (the buffer is exactly the service's: the
// message and its spare bytes), it fails when the reply does not read back with the codec, its
// lengths do not add up, or it carries a field other than the block said, or more than its
// capacity allowed.
// Links: kaviexit_testing
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exit/codec.h"
#include "exit/message_walk.h"
#include "exit/reply.h"
#include "services/kavcacm/kavcacm.h"

namespace {

using namespace kavi;
using namespace kavi::codec;

void check(bool holds) {
    if (!holds) std::abort();
}

constexpr size_t ARENA_SIZE = 80000;  // the fake exit's own memory, room for any 16-bit length
constexpr size_t MAX_OPS = 24;

// Memory the fake exit may point a field at: the received buffer and its own arena.
struct Memory {
    uint8_t *msg;
    size_t msg_room;
    uint8_t *arena;
    size_t arena_used = 0;

    size_t room(const void *p) const {
        auto *at = static_cast<const uint8_t *>(p);
        if (at >= msg && at < msg + msg_room) return static_cast<size_t>(msg + msg_room - at);
        if (at >= arena && at < arena + ARENA_SIZE)
            return static_cast<size_t>(arena + ARENA_SIZE - at);
        return 0;
    }
    // text: a NUL-terminated text of n characters of its own.
    char *text(size_t n, char fill) {
        if (arena_used + n + 1 > ARENA_SIZE) arena_used = 0;
        auto *at = reinterpret_cast<char *>(arena + arena_used);
        std::memset(at, fill, n);
        at[n] = '\0';
        arena_used += n + 1;
        return at;
    }
};

// One change of the fake exit; every change leaves each text pointer at a terminated text.
void change(FuzzedDataProvider &in, _VULE_PARAMETERS32 *block, Memory *memory) {
    const Field &f = FIELDS[in.ConsumeIntegralInRange<size_t>(0, FIELD_COUNT - 1)];
    const Field &other = FIELDS[in.ConsumeIntegralInRange<size_t>(0, FIELD_COUNT - 1)];
    auto arg = in.ConsumeIntegral<uint16_t>();
    bool text = f.form == FieldForm::text;
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:  // null
            if (text)
                block->*f.text = nullptr;
            else
                block->*f.data = nullptr;
            break;
        case 1:  // at another field's content
            if (text && other.form == FieldForm::text) {
                char *target = block->*other.text;
                if (target != nullptr) target += std::min<size_t>(arg, strlen(target));
                block->*f.text = target;
            } else if (!text) {
                block->*f.data = other.form == FieldForm::text
                                     ? static_cast<void *>(block->*other.text)
                                     : block->*other.data;
                block->*f.length = arg;
            }
            break;
        case 2:  // at memory of the exit's own
            if (text) {
                block->*f.text = memory->text(arg % 4000, static_cast<char>('a' + arg % 26));
            } else {
                block->*f.data = memory->text(arg, 'd');
                block->*f.length = arg;
            }
            break;
        case 3:  // a raised length, or a text shortened in place
            if (!text) {
                block->*f.length = arg;
            } else if (char *t = block->*f.text) {
                t[arg % (strlen(t) + 1)] = '\0';
            }
            break;
        case 4: {  // any other byte of the block
            _VULE_PARAMETERS32 keep = *block;
            uint8_t wire[BLOCK_SIZE];
            encode_block(*block, wire);
            wire[arg % BLOCK_SIZE] ^= static_cast<uint8_t>(arg >> 8 | 1);
            decode_block(wire, block);
            for (const Field &g : FIELDS) {
                if (g.form == FieldForm::text)
                    block->*g.text = keep.*g.text;
                else
                    block->*g.data = keep.*g.data;
            }
            break;
        }
        default:  // a data field at the block's image in the message
            if (!text) block->*f.data = memory->msg + FIRST_ELEMENT_OFFSET + 4;
            break;
    }
}

struct Expected {
    bool qualifies;
    std::string bytes;  // text: what the field showed before the build, cut to its capacity
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("KAVZ_ERRLOG", "/dev/null", 1);  // a reply that falls back to a status reply logs it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    // The exit's changes come from the end of the input (the number of changes last, then the
    // status and correlation), the command from the rest.
    size_t ops = in.ConsumeIntegralInRange<size_t>(0, MAX_OPS);
    auto status = in.ConsumeIntegral<uint16_t>();
    auto correlation = in.ConsumeIntegral<uint32_t>();
    // Six bytes a change, taken from the end too, so that the command is the input's head.
    std::vector<uint8_t> script(ops * 6);
    for (uint8_t &byte : script) byte = in.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> command = in.ConsumeRemainingBytes<uint8_t>();
    size_t length = command.size();
    if (length < HEADER_SIZE || get_u16(command.data()) != length) return 0;  // never handed out

    // Exactly the buffer the service hands out: the message, its spare, at least the minimum.
    std::vector<uint8_t> buffer(std::max<size_t>(length + VULC_BUFFER_SPARE, VULC_BUFFER_MIN), 0);
    std::memcpy(buffer.data(), command.data(), length);
    uint8_t *msg = buffer.data();
    CommandWalk walk = walk_command(msg, length);
    if (walk.outcome != CommandOutcome::command) return 0;

    _VULE_PARAMETERS32 block = walk.block;
    Capacities capacities;
    measure_capacities(block, &capacities);
    std::vector<uint8_t> arena(ARENA_SIZE, 0);
    Memory memory{msg, buffer.size(), arena.data()};
    FuzzedDataProvider steps(script.data(), script.size());
    for (size_t i = 0; i < ops; ++i) change(steps, &block, &memory);

    // What the reply must carry, as the block stands when the exit returns. A data pointer the
    // exit moved must have room for what may be read from it; that is the exit's part.
    Expected expected[FIELD_COUNT];
    for (size_t i = 0; i < FIELD_COUNT; ++i) {
        const Field &f = FIELDS[i];
        uint32_t capacity = capacities.of[i];
        if (f.form == FieldForm::text) {
            const char *t = block.*f.text;
            expected[i].qualifies = t != nullptr && capacity != 0;
            if (expected[i].qualifies) expected[i].bytes.assign(t, strnlen(t, capacity - 1));
        } else {
            void *p = block.*f.data;
            size_t room = memory.room(p);
            if (p != nullptr && std::min<size_t>(block.*f.length, capacity) > room)
                block.*f.length = static_cast<uint16_t>(room);
            expected[i].qualifies = p != nullptr && block.*f.length != 0 && capacity != 0;
            if (expected[i].qualifies) {
                size_t n = std::min<size_t>(block.*f.length, capacity);
                expected[i].bytes.assign(static_cast<const char *>(p), n);
            }
        }
    }

    uint32_t sent = build_full_reply(msg, length, &block, capacities, status, correlation);

    // The header tells the truth about the reply.
    check(sent <= length + VULC_BUFFER_SPARE && sent >= STATUS_REPLY_LENGTH);
    check(get_u16(msg) == sent);
    check(get_u16(msg + ELEMENT_BLOCK_OFFSET) + HEADER_SIZE == sent);
    check(get_u16(msg + ELEMENT_BLOCK_OFFSET + 2) == ELEMENT_BLOCK_TYPE);
    put_u16(msg + 4, static_cast<uint16_t>(HEADER_LENGTH_FIELD));  // as the service sends it
    check(header_valid(read_header(msg), sent));

    // Its elements read back, in order, and end exactly where the element block does.
    ElementReader reader(msg, sent);
    Element e;
    check(reader.next(&e));
    bool full = e.type == TYPE_BLOCK;
    if (full) {
        check(e.length == BLOCK_ELEMENT_LENGTH);
        uint8_t wire[BLOCK_SIZE];
        encode_block(block, wire);
        check(std::memcmp(e.body, wire, BLOCK_SIZE) == 0);
        check(reader.next(&e));
    }
    size_t next_field = 0;
    while (e.type != TYPE_STATUS) {
        const Field *f = field_for_type(e.type);
        check(full && f != nullptr);
        size_t i = static_cast<size_t>(f - FIELDS.data());
        check(i >= next_field && expected[i].qualifies);
        for (size_t skipped = next_field; skipped < i; ++skipped)
            check(!expected[skipped].qualifies);
        next_field = i + 1;
        if (f->form == FieldForm::text) {
            // A text may have lost its end to another field's cut, never gained anything.
            std::string shown(text_of(e));
            check(shown.size() < capacities.of[i]);
            check(expected[i].bytes.compare(0, shown.size(), shown) == 0);
            check(e.length == text_element_length(shown.size() + 1));
        } else {
            const std::string &was = expected[i].bytes;
            check(data_count_of(e) == was.size() && data_count_of(e) == block.*f->length);
            check(e.length == data_element_length(was.size()));
            for (size_t k = 0; k < was.size(); ++k)
                check(data_bytes_of(e)[k] == static_cast<uint8_t>(was[k]) ||
                      data_bytes_of(e)[k] == 0);
        }
        check(reader.next(&e));
    }
    if (full)
        for (size_t i = next_field; i < FIELD_COUNT; ++i) check(!expected[i].qualifies);
    check(status_code_of(e) == status && status_correlation_of(e) == correlation);
    check(!reader.next(&e) && reader.error() == ElementError::none && reader.remaining() == 0);
    check(!full || sent <= UINT16_MAX);
    return 0;
}
