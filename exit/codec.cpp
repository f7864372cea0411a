// codec.cpp — byte offsets of the message header, the element forms and the 338-byte wire image
// of the parameter block, and the walk over an element block that never leaves the message.
#include "exit/codec.h"

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

// One run of bytes of the wire image and where the same field lives in the native block. A
// pointer slot is 4 bytes on the wire and a native pointer in memory; every other slot is the
// same bytes in both.
struct Slot {
    uint16_t wire;
    uint16_t width;
    size_t native;
    size_t native_width;
    bool pointer;
};

#define KAVI_SLOT(field, wire, width, pointer)                                               \
    Slot {                                                                                   \
        wire, width, offsetof(_VULE_PARAMETERS32, field), sizeof(_VULE_PARAMETERS32::field), \
            pointer                                                                          \
    }
#define KAVI_PTR(field, wire) KAVI_SLOT(field, wire, 4, true)
#define KAVI_BYTES(field, wire, width) KAVI_SLOT(field, wire, width, false)

constexpr Slot LAYOUT[] = {
    KAVI_PTR(command_name, 0),
    KAVI_PTR(command_string, 4),
    KAVI_BYTES(exit_name, 8, 9),
    KAVI_BYTES(exit_executable_name, 17, 9),
    KAVI_BYTES(exit_timeout, 26, 4),
    KAVI_BYTES(wait_for_cmd_response, 30, 2),
    KAVI_BYTES(want_corr_of_cmd_rsps, 32, 2),
    KAVI_BYTES(correlation_id, 34, 4),
    KAVI_BYTES(client_handle, 38, 4),
    KAVI_BYTES(client_ip_addr, 42, 25),
    KAVI_BYTES(server_ip_addr, 67, 25),
    KAVI_PTR(signon_username, 92),
    KAVI_BYTES(op_id, 96, 9),
    KAVI_PTR(user_data, 105),
    KAVI_BYTES(user_data_length, 109, 2),
    KAVI_PTR(user_ctrl_data, 111),
    KAVI_BYTES(user_ctrl_data_length, 115, 2),
    KAVI_BYTES(OKA_menu_id, 117, 4),
    KAVI_BYTES(extended_reason_code, 121, 4),
    KAVI_PTR(zerva_hostname, 125),
    KAVI_PTR(zerva_ip_addr, 129),
    KAVI_BYTES(reserved_133, 133, 6),
    KAVI_PTR(client_hostname, 139),
    KAVI_PTR(client_ip_addr_dd, 143),
    KAVI_BYTES(reserved_147, 147, 26),
    KAVI_PTR(display_name, 173),
    KAVI_PTR(display_resource_type, 177),
    KAVI_BYTES(resource_type, 181, 4),
    KAVI_BYTES(resource_status, 185, 1),
    KAVI_BYTES(resource_status_ts, 186, 8),
    KAVI_BYTES(resource_flags, 194, 4),
    KAVI_PTR(data1, 198),
    KAVI_PTR(data2, 202),
    KAVI_PTR(data3, 206),
    KAVI_PTR(data4, 210),
    KAVI_BYTES(data_source, 214, 2),
    KAVI_BYTES(command_indicator, 216, 2),
    KAVI_BYTES(resource_VEXA_id, 218, 8),
    KAVI_PTR(user_res_data, 226),
    KAVI_BYTES(user_res_data_length, 230, 2),
    KAVI_BYTES(res_OKA_id, 232, 4),
    KAVI_PTR(hb_source, 236),
    KAVI_PTR(hb_sub_source, 240),
    KAVI_PTR(hb_origin, 244),
    KAVI_PTR(hb_sub_origin, 248),
    KAVI_PTR(hb_hostname, 252),
    KAVI_PTR(hb_es_managed_node, 256),
    KAVI_PTR(business_sys_name, 260),
    KAVI_PTR(OKA_data, 264),
    KAVI_BYTES(OKA_data_length, 268, 2),
    KAVI_PTR(resource_QOB_oid, 270),
    KAVI_BYTES(reserved_274, 274, 64),
};

#undef KAVI_BYTES
#undef KAVI_PTR
#undef KAVI_SLOT

// The slots tile the wire image without gap or overlap, and each has the native width its
// form needs.
constexpr bool layout_tiles_the_image() {
    size_t at = 0;
    for (const Slot &s : LAYOUT) {
        if (s.wire != at) return false;
        if (s.native_width != (s.pointer ? sizeof(void *) : s.width)) return false;
        at += s.width;
    }
    return at == BLOCK_SIZE;
}
static_assert(layout_tiles_the_image(), "the parameter block's offset table must add up to 338");

// On a 32-bit build the native struct is the wire image itself.
constexpr bool native_is_wire() {
    for (const Slot &s : LAYOUT)
        if (s.native != s.wire) return false;
    return sizeof(_VULE_PARAMETERS32) == BLOCK_SIZE;
}
static_assert(sizeof(void *) != 4 || native_is_wire(),
              "a 32-bit _VULE_PARAMETERS32 must be the 338-byte wire image");

}  // namespace

void decode_block(const uint8_t *wire, _VULE_PARAMETERS32 *block) {
    auto *native = reinterpret_cast<uint8_t *>(block);
    for (const Slot &s : LAYOUT) {
        if (s.pointer)
            std::memset(native + s.native, 0, s.native_width);
        else
            std::memcpy(native + s.native, wire + s.wire, s.width);
    }
}

void encode_block(const _VULE_PARAMETERS32 &block, uint8_t *wire) {
    const auto *native = reinterpret_cast<const uint8_t *>(&block);
    for (const Slot &s : LAYOUT) {
        if (s.pointer)
            std::memset(wire + s.wire, 0, s.width);
        else
            std::memcpy(wire + s.wire, native + s.native, s.width);
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

#define KAVI_TEXT(type, field)                                                      \
    Field {                                                                         \
        type, FieldForm::text, #field, &_VULE_PARAMETERS32::field, nullptr, nullptr \
    }
#define KAVI_DATA(type, field)                                              \
    Field {                                                                 \
        type, FieldForm::data, #field, nullptr, &_VULE_PARAMETERS32::field, \
            &_VULE_PARAMETERS32::field##_length                             \
    }

const Field FIELDS[FIELD_COUNT] = {
    KAVI_TEXT(2, command_name),
    KAVI_TEXT(3, command_string),
    KAVI_DATA(6, user_data),
    KAVI_DATA(18, user_ctrl_data),
    KAVI_TEXT(20, display_name),
    KAVI_TEXT(21, display_resource_type),
    KAVI_DATA(22, user_res_data),
    KAVI_TEXT(23, hb_source),
    KAVI_TEXT(24, hb_sub_source),
    KAVI_TEXT(25, hb_origin),
    KAVI_TEXT(26, hb_sub_origin),
    KAVI_TEXT(27, hb_hostname),
    KAVI_TEXT(28, data1),
    KAVI_TEXT(29, data2),
    KAVI_TEXT(30, data3),
    KAVI_TEXT(31, data4),
    KAVI_TEXT(32, hb_es_managed_node),
    KAVI_TEXT(33, business_sys_name),
    KAVI_DATA(34, OKA_data),
    KAVI_TEXT(35, signon_username),
    KAVI_TEXT(36, resource_QOB_oid),
    KAVI_TEXT(37, zerva_hostname),
    KAVI_TEXT(38, zerva_ip_addr),
    KAVI_TEXT(39, client_hostname),
    KAVI_TEXT(40, client_ip_addr_dd),
};

#undef KAVI_DATA
#undef KAVI_TEXT

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
