// block_codec_fuzz.cpp — any bytes as the wire image of a parameter block, and as a command whose
// block decode_command finds. Besides the sanitizers' findings, it fails when wire → native →
// wire is not byte-exact outside the pointer slots, when a decoded pointer is not null, or when
// decode_command leaves a field pointing outside the message or at text that does not end in it,
// or when a command written with the element writers does not read back as written.
// Links: kaviexit_testing
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "exit/codec.h"

namespace {

using namespace kavi::codec;

// Where the wire image holds a pointer: written down here from the block's layout, not taken
// from the codec, so that a wrong offset in either shows.
constexpr size_t POINTER_SLOTS[] = {0,   4,   92,  105, 111, 125, 129, 139, 143, 173, 177, 198, 202,
                                    206, 210, 226, 236, 240, 244, 248, 252, 256, 260, 264, 270};
static_assert(sizeof POINTER_SLOTS / sizeof POINTER_SLOTS[0] == FIELD_COUNT);

void check(bool holds) {
    if (!holds) std::abort();
}

void round_trip(const uint8_t *wire) {
    _VULE_PARAMETERS32 block;
    std::memset(&block, 0xA5, sizeof block);
    decode_block(wire, &block);
    for (const Field &f : FIELDS)
        check(f.form == FieldForm::text ? block.*f.text == nullptr : block.*f.data == nullptr);
    check(correlation_of(block) == correlation_in_wire(wire));

    uint8_t again[BLOCK_SIZE];
    std::memset(again, 0xA5, sizeof again);
    encode_block(block, again);
    uint8_t expected[BLOCK_SIZE];
    std::memcpy(expected, wire, BLOCK_SIZE);
    for (size_t at : POINTER_SLOTS) std::memset(expected + at, 0, 4);
    check(std::memcmp(again, expected, BLOCK_SIZE) == 0);

    // The block element carries the same image, then two zero bytes.
    uint8_t element[BLOCK_ELEMENT_LENGTH];
    check(write_block_element(element, block) == BLOCK_ELEMENT_LENGTH);
    check(get_u16(element) == BLOCK_ELEMENT_LENGTH && get_u16(element + 2) == TYPE_BLOCK);
    check(std::memcmp(element + 4, expected, BLOCK_SIZE) == 0);
    check(element[4 + BLOCK_SIZE] == 0 && element[5 + BLOCK_SIZE] == 0);
}

bool inside(const void *p, size_t n, const uint8_t *begin, const uint8_t *end) {
    auto *at = static_cast<const uint8_t *>(p);
    return at >= begin && at <= end && n <= static_cast<size_t>(end - at);
}

void decode_as_command(const uint8_t *data, size_t size) {
    // Exactly the bytes received, so that a read past them is the sanitizer's to see.
    std::vector<uint8_t> msg(data, data + size);
    const uint8_t *begin = msg.data();
    const uint8_t *end = begin + size;
    _VULE_PARAMETERS32 block{};
    ElementError error = decode_command(msg.data(), size, &block);
    check(std::equal(msg.begin(), msg.end(), data));  // decoding writes nothing into the message
    if (error != ElementError::none) return;
    for (const Field &f : FIELDS) {
        if (f.form == FieldForm::text) {
            const char *text = block.*f.text;
            if (text == nullptr) continue;
            check(inside(text, 1, begin, end));
            check(std::memchr(text, 0, static_cast<size_t>(end - (const uint8_t *)text)) !=
                  nullptr);
        } else if (block.*f.data != nullptr) {
            check(inside(block.*f.data, block.*f.length, begin, end));
        } else {
            check(block.*f.length == 0);
        }
    }
}

// A command written with the codec's writers, around the input as a block image, a text and a
// data field, must read back as exactly what was written.
void write_and_read_back(const uint8_t *wire, const uint8_t *data, size_t size) {
    if (size == 0) data = reinterpret_cast<const uint8_t *>("");  // no null for strnlen
    _VULE_PARAMETERS32 sent;
    decode_block(wire, &sent);
    size_t text_length = strnlen(reinterpret_cast<const char *>(data), size);
    auto count = static_cast<uint16_t>(std::min<size_t>(size, 4000));
    std::vector<uint8_t> msg(FIRST_ELEMENT_OFFSET + BLOCK_ELEMENT_LENGTH +
                             text_element_length(text_length + 1) + data_element_length(count) +
                             STATUS_ELEMENT_LENGTH + END_ELEMENT_LENGTH);
    uint8_t *at = msg.data() + FIRST_ELEMENT_OFFSET;
    at += write_block_element(at, sent);
    at += write_text_element(at, 3, reinterpret_cast<const char *>(data), text_length + 1);
    at += write_data_element(at, 22, data, count);
    at += write_status_element(at, 7, 9);
    at += write_end_element(at);
    check(at == msg.data() + msg.size());
    if (msg.size() > UINT16_MAX) return;
    put_u16(msg.data(), static_cast<uint16_t>(msg.size()));
    put_u16(msg.data() + 2, MESSAGE_TYPE);
    put_u16(msg.data() + 4, static_cast<uint16_t>(HEADER_LENGTH_FIELD));
    put_u16(msg.data() + 6, FORMAT_LEVEL);
    write_element_block_head(msg.data(), static_cast<uint16_t>(msg.size() - HEADER_SIZE));
    check(header_valid(read_header(msg.data()), msg.size()));

    _VULE_PARAMETERS32 got;
    check(decode_command(msg.data(), msg.size(), &got) == ElementError::none);
    check(strlen(got.command_string) == text_length &&
          std::memcmp(got.command_string, data, text_length) == 0);
    check(got.user_res_data_length == count &&
          (count == 0 || std::memcmp(got.user_res_data, data, count) == 0));
    uint8_t image[BLOCK_SIZE];
    encode_block(got, image);
    uint8_t expected[BLOCK_SIZE];
    encode_block(sent, expected);
    // The fields' lengths are the elements' to say; every other byte is the block's.
    put_u16(expected + 230, count);
    for (size_t at_length : {109, 115, 268}) put_u16(expected + at_length, 0);
    check(std::memcmp(image, expected, BLOCK_SIZE) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first 338 bytes (zero-filled when fewer arrived) as a wire image.
    uint8_t wire[BLOCK_SIZE] = {};
    std::memcpy(wire, data, size < BLOCK_SIZE ? size : BLOCK_SIZE);
    round_trip(wire);
    decode_as_command(data, size);
    write_and_read_back(wire, data, size);
    return 0;
}
