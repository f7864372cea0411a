// block_layout.h — every field of the parameter block, written once: where it lies in the
// 338-byte wire image, its form, the element that carries it, how kavi prints it and whether an
// answer's value comes back to a KaviSend caller. The codec's offset table and element fields,
// the copy-back and kavi's field names are all derived from this one table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kaviexit.h"

namespace kavi::codec {

enum class Form : uint8_t {
    text,   // a pointer to a text an element carries
    data,   // a pointer to bytes an element carries; its 16-bit length is field##_length
    value,  // bytes of the block itself
};

// How an operator reads and types a field. Pointer fields are shown as the text or the hex
// digits of what they point at; hidden fields (reserved bytes) are neither printed nor set.
enum class Shown : uint8_t {
    pointed,
    hidden,
    inline_text,  // NUL-terminated, blank-padded
    fixed_text,   // blank-padded, no terminator
    u8,
    u16,
    i16,
    u32,
    i32,
    timestamp,
    correlation,
};

// What an answer does to the field of the caller's block. Pointer fields follow the text and
// data rules of the copy-back; values are kept, copied whole, or copied up to their terminator.
enum class Back : uint8_t { pointed, kept, copied, copied_to_nul };

struct BlockField {
    const char *name;
    uint16_t wire;        // offset in the wire image
    uint16_t width;       // bytes in the wire image: 4 for a pointer
    size_t native;        // offset in _VULE_PARAMETERS32
    size_t native_width;  // a native pointer, or the same bytes as on the wire
    Form form;
    uint16_t element_type;  // the element that carries a text or data field; 0 for a value
    Shown shown;
    Back back;
};

// KAVI_BLOCK_FIELDS(TEXT, DATA, VALUE): the table in block order, one row per field.
//   TEXT(field, wire offset, element type)   DATA(field, wire offset, element type)
//   VALUE(field, wire offset, how it is shown, what an answer does to it)
// A value's width is its native size, which the codec checks against the wire offsets.
#define KAVI_BLOCK_FIELDS(TEXT, DATA, VALUE)                    \
    TEXT(command_name, 0, 2)                                    \
    TEXT(command_string, 4, 3)                                  \
    VALUE(exit_name, 8, inline_text, copied_to_nul)             \
    VALUE(exit_executable_name, 17, inline_text, copied_to_nul) \
    VALUE(exit_timeout, 26, i32, copied)                        \
    VALUE(wait_for_cmd_response, 30, i16, copied)               \
    VALUE(want_corr_of_cmd_rsps, 32, u16, copied)               \
    VALUE(correlation_id, 34, correlation, kept)                \
    VALUE(client_handle, 38, u32, copied)                       \
    VALUE(client_ip_addr, 42, inline_text, kept)                \
    VALUE(server_ip_addr, 67, inline_text, kept)                \
    TEXT(signon_username, 92, 35)                               \
    VALUE(op_id, 96, inline_text, copied_to_nul)                \
    DATA(user_data, 105, 6)                                     \
    VALUE(user_data_length, 109, u16, pointed)                  \
    DATA(user_ctrl_data, 111, 18)                               \
    VALUE(user_ctrl_data_length, 115, u16, pointed)             \
    VALUE(OKA_menu_id, 117, u32, copied)                        \
    VALUE(extended_reason_code, 121, i32, kept)                 \
    TEXT(zerva_hostname, 125, 37)                               \
    TEXT(zerva_ip_addr, 129, 38)                                \
    VALUE(reserved_133, 133, hidden, copied_to_nul)             \
    TEXT(client_hostname, 139, 39)                              \
    TEXT(client_ip_addr_dd, 143, 40)                            \
    VALUE(reserved_147, 147, hidden, kept)                      \
    TEXT(display_name, 173, 20)                                 \
    TEXT(display_resource_type, 177, 21)                        \
    VALUE(resource_type, 181, u32, copied)                      \
    VALUE(resource_status, 185, u8, copied)                     \
    VALUE(resource_status_ts, 186, timestamp, copied)           \
    VALUE(resource_flags, 194, u32, copied)                     \
    TEXT(data1, 198, 28)                                        \
    TEXT(data2, 202, 29)                                        \
    TEXT(data3, 206, 30)                                        \
    TEXT(data4, 210, 31)                                        \
    VALUE(data_source, 214, u16, copied)                        \
    VALUE(command_indicator, 216, u16, copied)                  \
    VALUE(resource_VEXA_id, 218, fixed_text, copied)            \
    DATA(user_res_data, 226, 22)                                \
    VALUE(user_res_data_length, 230, u16, pointed)              \
    VALUE(res_OKA_id, 232, u32, copied)                         \
    TEXT(hb_source, 236, 23)                                    \
    TEXT(hb_sub_source, 240, 24)                                \
    TEXT(hb_origin, 244, 25)                                    \
    TEXT(hb_sub_origin, 248, 26)                                \
    TEXT(hb_hostname, 252, 27)                                  \
    TEXT(hb_es_managed_node, 256, 32)                           \
    TEXT(business_sys_name, 260, 33)                            \
    DATA(OKA_data, 264, 34)                                     \
    VALUE(OKA_data_length, 268, u16, pointed)                   \
    TEXT(resource_QOB_oid, 270, 36)                             \
    VALUE(reserved_274, 274, hidden, kept)

#define KAVI_BLOCK_ROW(field, wire, width, form, type, shown, back) \
    BlockField{#field,                                              \
               wire,                                                \
               width,                                               \
               offsetof(_VULE_PARAMETERS32, field),                 \
               sizeof(_VULE_PARAMETERS32::field),                   \
               Form::form,                                          \
               type,                                                \
               Shown::shown,                                        \
               Back::back},
#define KAVI_BLOCK_TEXT(field, wire, type) \
    KAVI_BLOCK_ROW(field, wire, 4, text, type, pointed, pointed)
#define KAVI_BLOCK_DATA(field, wire, type) \
    KAVI_BLOCK_ROW(field, wire, 4, data, type, pointed, pointed)
#define KAVI_BLOCK_VALUE(field, wire, shown, back) \
    KAVI_BLOCK_ROW(field, wire, sizeof(_VULE_PARAMETERS32::field), value, 0, shown, back)

inline constexpr BlockField BLOCK_FIELDS[] = {
    KAVI_BLOCK_FIELDS(KAVI_BLOCK_TEXT, KAVI_BLOCK_DATA, KAVI_BLOCK_VALUE)};

#undef KAVI_BLOCK_VALUE
#undef KAVI_BLOCK_DATA
#undef KAVI_BLOCK_TEXT
#undef KAVI_BLOCK_ROW

}  // namespace kavi::codec
