// send_message.cpp — what KaviSend does to bytes: the target node address, the command message,
// the depth step, the address masks and the copy-back of the answered block.
#include "exit/send_message.h"

#include <algorithm>
#include <cstring>

#include "exit/codec.h"
#include "platform/platform.h"

namespace kavi::send {

namespace {

// A text may end just before an unreadable page, so each page it enters is checked first.
bool char_readable(const char *p) {
    constexpr uintptr_t PAGE = 4096;
    return reinterpret_cast<uintptr_t>(p) % PAGE != 0 || plat::pointer_readable(p, 1);
}

// upper_text: upper-cases the text of at most 24 characters at the start of field, in place.
void upper_text(char *field) {
    char text[NODE_LENGTH + 1] = {};
    size_t n = strnlen(field, NODE_LENGTH);
    std::memcpy(text, field, n);
    plat::upper_case(text);
    std::memcpy(field, text, n);
}

// readable_text_length: the characters of a text before its terminator, whose first byte is
// known to be readable; each further page the text enters is checked before it is read.
bool readable_text_length(const char *text, size_t *length) {
    constexpr uintptr_t PAGE = 4096;
    size_t n = 0;
    for (;;) {
        const char *at = text + n;
        if (n != 0 && !plat::pointer_readable(at, 1)) return false;
        size_t in_page = PAGE - reinterpret_cast<uintptr_t>(at) % PAGE;
        size_t found = strnlen(at, in_page);
        n += found;
        if (found < in_page) break;
    }
    *length = n;
    return true;
}

// copy_inline: an inline text up to and including its terminator, at most width bytes.
void copy_inline(char *to, const char *from, size_t width) {
    for (size_t i = 0; i < width; ++i)
        if ((to[i] = from[i]) == '\0') break;
}

// room: what the caller sent in field i, as long as its area is still the one it sent.
size_t room(const SentFields &sent, size_t i, const void *area) {
    return area != nullptr && sent.at[i] == area ? sent.length[i] : 0;
}

size_t index_of(const codec::Field *f) {
    return static_cast<size_t>(f - codec::FIELDS.data());
}

// copy_text: the text rule, the answer's text cut to what the caller sent.
void copy_text(const _VULE_PARAMETERS32 &answer, const SentFields &sent, _VULE_PARAMETERS32 *c,
               const codec::Field &f) {
    char *&to = c->*f.text;
    const char *from = answer.*f.text;
    size_t limit = room(sent, index_of(&f), to);
    if (from == nullptr) {
        to = nullptr;
    } else if (limit != 0) {
        size_t n = strnlen(from, limit - 1);
        std::memcpy(to, from, n);
        to[n] = '\0';
    }
}

// copy_data: the answer's bytes into the caller's area when both exist, at most as many as the
// caller sent; the length then says how many it took. Otherwise the length is the answer's, and
// user_data alone loses its pointer; the other data fields keep theirs.
void copy_data(const _VULE_PARAMETERS32 &answer, const SentFields &sent, _VULE_PARAMETERS32 *c,
               const codec::Field &f) {
    void *&to = c->*f.data;
    const void *from = answer.*f.data;
    if (to != nullptr && from != nullptr) {
        size_t n = std::min<size_t>(answer.*f.length, room(sent, index_of(&f), to));
        std::memcpy(to, from, n);
        c->*f.length = static_cast<uint16_t>(n);
        return;
    }
    if (f.data == &_VULE_PARAMETERS32::user_data) to = nullptr;
    c->*f.length = answer.*f.length;
}

}  // namespace

bool is_binary_node(const char *address) {
    // Byte by byte: a text shorter than four characters ends before the comparison would.
    for (int i = 0; i < 4; ++i)
        if (static_cast<uint8_t>(address[i]) != 0xFF) return false;
    return true;
}

bool readable_node_address(const char *node, char out[NODE_LENGTH + 1]) {
    size_t length = 0;
    while (length <= NODE_LENGTH && char_readable(node + length) && node[length] != '\0') ++length;
    if (length == 0 || length > NODE_LENGTH || !char_readable(node + length)) return false;
    if (is_binary_node(node)) {
        if (!plat::pointer_readable(node, NODE_LENGTH)) return false;
        std::memcpy(out, node, NODE_LENGTH);
    } else {
        std::memset(out, ' ', NODE_LENGTH);
        std::memcpy(out, node, length);
        out[NODE_LENGTH] = '\0';
        plat::upper_case(out);
    }
    out[NODE_LENGTH] = '\0';
    return true;
}

bool measure_fields(const _VULE_PARAMETERS32 &block, SentFields *out) {
    // The first byte of every text and every data area are asked for in one request: each
    // request is a system call on every send.
    plat::ReadRange ranges[codec::FIELD_COUNT];
    size_t count = 0;
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        out->at[i] = nullptr;
        out->length[i] = 0;
        if (f.form == codec::FieldForm::text && block.*f.text != nullptr) {
            out->at[i] = block.*f.text;
            ranges[count++] = {out->at[i], 1};
        } else if (f.form == codec::FieldForm::data && block.*f.data != nullptr &&
                   block.*f.length != 0) {
            out->at[i] = block.*f.data;
            out->length[i] = block.*f.length;
            ranges[count++] = {out->at[i], out->length[i]};
        }
    }
    if (!plat::pointers_readable(ranges, count)) return false;
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        if (codec::FIELDS[i].form != codec::FieldForm::text || out->at[i] == nullptr) continue;
        size_t characters = 0;
        if (!readable_text_length(static_cast<const char *>(out->at[i]), &characters)) return false;
        out->length[i] = characters + 1;
    }
    return true;
}

size_t message_size(const SentFields &sent) {
    size_t size = codec::FIRST_ELEMENT_OFFSET + codec::BLOCK_ELEMENT_LENGTH;
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        if (sent.at[i] == nullptr) continue;
        if (codec::FIELDS[i].form == codec::FieldForm::text)
            size += codec::text_element_length(sent.length[i]);
        else
            size += codec::data_element_length(sent.length[i]);
    }
    return size + codec::END_ELEMENT_LENGTH;
}

void build_message(uint8_t *msg, size_t size, const _VULE_PARAMETERS32 &block,
                   const SentFields &sent) {
    codec::write_element_block_head(msg, static_cast<uint16_t>(size - codec::HEADER_SIZE));
    uint8_t *at = msg + codec::FIRST_ELEMENT_OFFSET;
    at += codec::write_block_element(at, block);
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        if (sent.at[i] == nullptr) continue;
        // Exactly the measured bytes: the text may have changed since (the terminator is
        // written, not copied).
        if (f.form == codec::FieldForm::text)
            at += codec::write_text_element(at, f.type, static_cast<const char *>(sent.at[i]),
                                            sent.length[i]);
        else
            at += codec::write_data_element(at, f.type, sent.at[i],
                                            static_cast<uint16_t>(sent.length[i]));
    }
    codec::write_end_element(at);
}

void step_depth(_VULE_PARAMETERS32 *block) {
    block->correlation_id.depth = (block->correlation_id.depth + 1) & 0xFFF;
}

void mask_address(char field[25], const char target[NODE_LENGTH + 1],
                  const char local[NODE_LENGTH + 1]) {
    bool names_target;
    bool names_local;
    if (is_binary_node(field) || is_binary_node(target) || is_binary_node(local)) {
        names_target = std::memcmp(field, target, NODE_LENGTH) == 0;
        names_local = std::memcmp(field, local, NODE_LENGTH) == 0;
    } else {
        char target_upper[NODE_LENGTH + 1];
        char local_upper[NODE_LENGTH + 1];
        std::memcpy(target_upper, target, sizeof target_upper);
        std::memcpy(local_upper, local, sizeof local_upper);
        upper_text(field);
        upper_text(target_upper);
        upper_text(local_upper);
        names_target = std::strncmp(field, target_upper, NODE_LENGTH) == 0;
        names_local = std::strncmp(field, local_upper, NODE_LENGTH) == 0;
    }
    if (names_target)
        std::memcpy(field, TARGET_MASK, sizeof TARGET_MASK);
    else if (names_local)
        std::memcpy(field, LOCAL_MASK, sizeof LOCAL_MASK);
}

void copy_back(const _VULE_PARAMETERS32 &answer, const SentFields &sent,
               _VULE_PARAMETERS32 *caller) {
    const auto *from = reinterpret_cast<const char *>(&answer);
    auto *to = reinterpret_cast<char *>(caller);
    for (const codec::BlockField &f : codec::BLOCK_FIELDS) {
        switch (f.back) {
            case codec::Back::pointed:
                if (const codec::Field *field = codec::field_for_type(f.element_type)) {
                    if (field->form == codec::FieldForm::text)
                        copy_text(answer, sent, caller, *field);
                    else
                        copy_data(answer, sent, caller, *field);
                }
                break;
            case codec::Back::copied:
                std::memcpy(to + f.native, from + f.native, f.width);
                break;
            case codec::Back::copied_to_nul:
                copy_inline(to + f.native, from + f.native, f.width);
                break;
            case codec::Back::kept:
                break;
        }
    }
}

}  // namespace kavi::send
