// codec.cpp — byte offsets of the message header, the element forms and the 338-byte wire image
// of the parameter block, and the walk over an element block that never leaves the message.
#include "exit/codec.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kavi::codec {

// Numbers of the native block are copied to and from the wire as bytes.
static_assert(std::endian::native == std::endian::little, "the wire image is little-endian");

uint16_t get_u16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t get_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_u16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t *p, uint32_t v) {
    put_u16(p, static_cast<uint16_t>(v));
    put_u16(p + 2, static_cast<uint16_t>(v >> 16));
}

// --- message header --------------------------------------------------------------------------

uint32_t message_id_of(const uint8_t *msg) {
    constexpr size_t SERVICE_LEVEL_OFFSET = 50;
    constexpr size_t MESSAGE_ID_OFFSET = 52;
    return get_u16(msg + SERVICE_LEVEL_OFFSET) == 1 ? get_u32(msg + MESSAGE_ID_OFFSET) : 0;
}

Header read_header(const uint8_t *msg) {
    Header h{};
    h.total_length = get_u16(msg);
    h.message_type = get_u16(msg + 2);
    h.header_length_field = static_cast<int16_t>(get_u16(msg + 4));
    h.format_level = get_u16(msg + 6);
    std::memcpy(h.origin_name, msg + 8, sizeof h.origin_name);
    std::memcpy(h.origin_node, msg + 16, sizeof h.origin_node);
    std::memcpy(h.destination_name, msg + 40, sizeof h.destination_name);
    h.function_code = get_u16(msg + 48);
    h.element_block_length = get_u16(msg + ELEMENT_BLOCK_OFFSET);
    h.element_block_type = get_u16(msg + ELEMENT_BLOCK_OFFSET + 2);
    return h;
}

bool header_valid(const Header &h, size_t received) {
    long declared = long{h.header_length_field} + h.element_block_length + 4;
    return h.total_length >= MIN_COMMAND_SIZE && h.total_length <= received &&
           declared == h.total_length && h.message_type == MESSAGE_TYPE &&
           h.format_level == FORMAT_LEVEL && h.element_block_type == ELEMENT_BLOCK_TYPE;
}

void set_total_length(uint8_t *msg, uint16_t total) {
    put_u16(msg, total);
}

void set_element_block_length(uint8_t *msg, uint16_t length) {
    put_u16(msg + ELEMENT_BLOCK_OFFSET, length);
}

void write_element_block_head(uint8_t *msg, uint16_t length) {
    put_u16(msg + ELEMENT_BLOCK_OFFSET, length);
    put_u16(msg + ELEMENT_BLOCK_OFFSET + 2, ELEMENT_BLOCK_TYPE);
}

// --- elements --------------------------------------------------------------------------------

static size_t round_up_4(size_t n) {
    return (n + 3) & ~size_t{3};
}

size_t text_element_length(size_t text_with_nul) {
    return 4 + round_up_4(text_with_nul);
}
size_t data_element_length(size_t count) {
    return 8 + round_up_4(count);
}

static void put_head(uint8_t *at, size_t length, uint16_t type) {
    put_u16(at, static_cast<uint16_t>(length));
    put_u16(at + 2, type);
}

size_t write_text_element(uint8_t *at, uint16_t type, const char *text, size_t text_with_nul) {
    size_t characters = text_with_nul == 0 ? 0 : text_with_nul - 1;
    size_t length = text_element_length(characters + 1);
    put_head(at, length, type);
    // The terminator is written rather than copied, so a text that changed under us still ends.
    std::memcpy(at + 4, text, characters);
    std::memset(at + 4 + characters, 0, length - 4 - characters);
    return length;
}

size_t write_data_element(uint8_t *at, uint16_t type, const void *bytes, uint16_t count) {
    size_t length = data_element_length(count);
    put_head(at, length, type);
    put_u32(at + 4, count);
    if (count != 0) std::memcpy(at + 8, bytes, count);
    std::memset(at + 8 + count, 0, length - 8 - count);
    return length;
}

size_t write_block_element(uint8_t *at, const _VULE_PARAMETERS32 &block) {
    put_head(at, BLOCK_ELEMENT_LENGTH, TYPE_BLOCK);
    encode_block(block, at + 4);
    at[4 + BLOCK_SIZE] = 0;
    at[5 + BLOCK_SIZE] = 0;
    return BLOCK_ELEMENT_LENGTH;
}

size_t write_status_element(uint8_t *at, uint16_t status, uint32_t correlation) {
    put_head(at, STATUS_ELEMENT_LENGTH, TYPE_STATUS);
    put_u16(at + 4, status);
    put_u32(at + 6, correlation);
    return STATUS_ELEMENT_LENGTH;
}

size_t write_end_element(uint8_t *at) {
    put_head(at, END_ELEMENT_LENGTH, TYPE_END);
    std::memset(at + 4, 0, END_ELEMENT_LENGTH - 4);
    return END_ELEMENT_LENGTH;
}

size_t write_stop_element(uint8_t *at) {
    put_head(at, STOP_ELEMENT_LENGTH, TYPE_STOP);
    return STOP_ELEMENT_LENGTH;
}

ElementReader::ElementReader(const uint8_t *msg, size_t size)
    : msg_(msg), size_(size), pos_(FIRST_ELEMENT_OFFSET), remaining_(0) {
    if (size < FIRST_ELEMENT_OFFSET) {
        error_ = ElementError::overrun;
        return;
    }
    remaining_ = long{get_u16(msg + ELEMENT_BLOCK_OFFSET)} - 4;
}

// check: the first fault of an element whose head lies inside the message.
static ElementError check(const Element &e) {
    const Field *f = field_for_type(e.type);
    if (e.type == TYPE_BLOCK && e.body_length < BLOCK_SIZE) return ElementError::block_short;
    if (e.type == TYPE_STATUS && e.body_length < STATUS_ELEMENT_LENGTH - 4)
        return ElementError::status_short;
    if (f != nullptr && f->form == FieldForm::text &&
        std::memchr(e.body, 0, e.body_length) == nullptr)
        return ElementError::text_no_nul;
    if (f != nullptr && f->form == FieldForm::data &&
        (e.body_length < 4 || get_u16(e.body) > e.body_length - 4))
        return ElementError::data_overrun;
    return ElementError::none;
}

bool ElementReader::next(Element *e) {
    if (error_ != ElementError::none || remaining_ <= 0) return false;
    if (remaining_ < 4 || pos_ + 4 > size_) {
        error_ = ElementError::overrun;
        return false;
    }
    Element seen{};
    seen.length = get_u16(msg_ + pos_);
    seen.type = get_u16(msg_ + pos_ + 2);
    if (seen.length < 4) {
        error_ = ElementError::too_short;
        return false;
    }
    if (seen.length > remaining_ || pos_ + seen.length > size_) {
        error_ = ElementError::overrun;
        return false;
    }
    seen.body = msg_ + pos_ + 4;
    seen.body_length = seen.length - 4u;
    error_ = check(seen);
    if (error_ != ElementError::none) return false;
    pos_ += seen.length;
    remaining_ -= seen.length;
    *e = seen;
    return true;
}

const char *text_of(const Element &e) {
    return reinterpret_cast<const char *>(e.body);
}
uint16_t data_count_of(const Element &e) {
    return get_u16(e.body);
}
const uint8_t *data_bytes_of(const Element &e) {
    return e.body + 4;
}
uint16_t status_code_of(const Element &e) {
    return get_u16(e.body);
}
uint32_t status_correlation_of(const Element &e) {
    return get_u32(e.body + 2);
}

// --- the parameter block ---------------------------------------------------------------------

namespace {

// The fields tile the wire image without gap or overlap, in the order the native struct declares
// them, and each has the native width its form needs.
constexpr bool layout_tiles_the_image() {
    size_t at = 0;
    size_t native_end = 0;
    for (const BlockField &f : BLOCK_FIELDS) {
        if (f.wire != at || f.native < native_end) return false;
        if (f.native_width != (f.form == Form::value ? f.width : sizeof(void *))) return false;
        at += f.width;
        native_end = f.native + f.native_width;
    }
    return at == BLOCK_SIZE;
}
static_assert(layout_tiles_the_image(), "the parameter block's offset table must add up to 338");

// On a 32-bit build the native struct is the wire image itself.
constexpr bool native_is_wire() {
    for (const BlockField &f : BLOCK_FIELDS)
        if (f.native != f.wire) return false;
    return sizeof(_VULE_PARAMETERS32) == BLOCK_SIZE;
}
static_assert(sizeof(void *) != 4 || native_is_wire(),
              "a 32-bit _VULE_PARAMETERS32 must be the 338-byte wire image");

}  // namespace

void decode_block(const uint8_t *wire, _VULE_PARAMETERS32 *block) {
    auto *native = reinterpret_cast<uint8_t *>(block);
    for (const BlockField &f : BLOCK_FIELDS) {
        if (f.form == Form::value)
            std::memcpy(native + f.native, wire + f.wire, f.width);
        else
            std::memset(native + f.native, 0, f.native_width);
    }
}

void encode_block(const _VULE_PARAMETERS32 &block, uint8_t *wire) {
    const auto *native = reinterpret_cast<const uint8_t *>(&block);
    for (const BlockField &f : BLOCK_FIELDS) {
        if (f.form == Form::value)
            std::memcpy(wire + f.wire, native + f.native, f.width);
        else
            std::memset(wire + f.wire, 0, f.width);
    }
}

uint32_t correlation_of(const _VULE_PARAMETERS32 &block) {
    uint8_t bytes[4];
    std::memcpy(bytes, &block.correlation_id, sizeof bytes);
    return get_u32(bytes);
}

void set_correlation(_VULE_PARAMETERS32 *block, uint32_t correlation) {
    uint8_t bytes[4];
    put_u32(bytes, correlation);
    std::memcpy(&block->correlation_id, bytes, sizeof bytes);
}

uint32_t correlation_in_wire(const uint8_t *wire) {
    return get_u32(wire + 34);
}

// --- fields carried by elements --------------------------------------------------------------

namespace {

#define KAVI_FIELD_TEXT(field, wire, type) \
    Field{type, FieldForm::text, #field, &_VULE_PARAMETERS32::field, nullptr, nullptr},
#define KAVI_FIELD_DATA(field, wire, type) \
    Field{type,                            \
          FieldForm::data,                 \
          #field,                          \
          nullptr,                         \
          &_VULE_PARAMETERS32::field,      \
          &_VULE_PARAMETERS32::field##_length},
#define KAVI_FIELD_NONE(field, wire, shown, back)

// Replies and sent commands carry the fields in the order of their element types.
constexpr std::array<Field, FIELD_COUNT> by_element_type() {
    std::array<Field, FIELD_COUNT> fields = {
        KAVI_BLOCK_FIELDS(KAVI_FIELD_TEXT, KAVI_FIELD_DATA, KAVI_FIELD_NONE)};
    std::sort(fields.begin(), fields.end(),
              [](const Field &a, const Field &b) { return a.type < b.type; });
    return fields;
}

constexpr bool every_pointer_is_a_field() {
    size_t pointers = 0;
    for (const BlockField &f : BLOCK_FIELDS) pointers += f.form != Form::value;
    std::array<Field, FIELD_COUNT> fields = by_element_type();
    for (size_t i = 1; i < FIELD_COUNT; ++i)
        if (fields[i - 1].type == fields[i].type) return false;
    return pointers == FIELD_COUNT;
}
static_assert(every_pointer_is_a_field(), "each text and data field has an element type its own");

#undef KAVI_FIELD_NONE
#undef KAVI_FIELD_DATA
#undef KAVI_FIELD_TEXT

}  // namespace

constinit const std::array<Field, FIELD_COUNT> FIELDS = by_element_type();

const Field *field_for_type(uint16_t type) {
    for (const Field &f : FIELDS)
        if (f.type == type) return &f;
    return nullptr;
}

bool type_known(uint16_t type) {
    return type == TYPE_BLOCK || type == TYPE_STATUS || type == TYPE_END || type == TYPE_STOP ||
           field_for_type(type) != nullptr;
}

void set_field(_VULE_PARAMETERS32 *block, const Field &f, const Element &e) {
    // The block points into the message buffer it arrived in, which its receiver owns.
    if (f.form == FieldForm::text) {
        block->*f.text = const_cast<char *>(text_of(e));
    } else {
        block->*f.data = const_cast<uint8_t *>(data_bytes_of(e));
        block->*f.length = data_count_of(e);
    }
}

void clear_fields(_VULE_PARAMETERS32 *block) {
    for (const Field &f : FIELDS) {
        if (f.form == FieldForm::text) {
            block->*f.text = nullptr;
        } else {
            block->*f.data = nullptr;
            block->*f.length = 0;
        }
    }
}

ElementError decode_command(uint8_t *msg, size_t size, _VULE_PARAMETERS32 *block) {
    ElementReader reader(msg, size);
    Element e;
    bool have_block = false;
    while (reader.next(&e)) {
        if (e.type == TYPE_BLOCK && !have_block) {
            decode_block(e.body, block);
            clear_fields(block);
            have_block = true;
        } else if (!type_known(e.type)) {
            return ElementError::overrun;
        } else if (const Field *f = field_for_type(e.type); f != nullptr && have_block) {
            set_field(block, *f, e);
        }
    }
    if (reader.error() != ElementError::none) return reader.error();
    return have_block ? ElementError::none : ElementError::block_short;
}

}  // namespace kavi::codec
