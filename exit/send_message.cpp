// send_message.cpp — what KaviSend does to bytes: the target node address, the command message,
// the depth step, the address masks and the copy-back of the answered block.
#include "exit/send_message.h"

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

size_t text_length(const char *p) {
    return p == nullptr ? 0 : std::strlen(p);
}

// copy_inline: an inline text up to and including its terminator, at most width bytes.
void copy_inline(char *to, const char *from, size_t width) {
    for (size_t i = 0; i < width; ++i)
        if ((to[i] = from[i]) == '\0') break;
}

void copy_text(char *&to, char *from) {
    if (from == nullptr)
        to = nullptr;
    else if (to != nullptr)
        std::strcpy(to, from);
}

// copy_data: the answer's bytes into the caller's area when both exist. user_data alone loses
// its pointer when either is missing; the other data fields keep theirs.
void copy_data(void *&to, uint16_t &to_length, const void *from, uint16_t from_length,
               bool drop_pointer) {
    if (to != nullptr && from != nullptr)
        std::memcpy(to, from, from_length);
    else if (drop_pointer)
        to = nullptr;
    to_length = from_length;
}

bool present(const _VULE_PARAMETERS32 &block, const codec::Field &f) {
    if (f.form == codec::FieldForm::text) return block.*f.text != nullptr;
    return block.*f.data != nullptr && block.*f.length != 0;
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

size_t message_size(const _VULE_PARAMETERS32 &block) {
    size_t size = codec::FIRST_ELEMENT_OFFSET + codec::BLOCK_ELEMENT_LENGTH;
    for (const codec::Field &f : codec::FIELDS) {
        if (!present(block, f)) continue;
        if (f.form == codec::FieldForm::text)
            size += codec::text_element_length(text_length(block.*f.text) + 1);
        else
            size += codec::data_element_length(block.*f.length);
    }
    return size + codec::END_ELEMENT_LENGTH;
}

void build_message(uint8_t *msg, size_t size, const _VULE_PARAMETERS32 &block) {
    codec::write_element_block_head(msg, static_cast<uint16_t>(size - codec::HEADER_SIZE));
    uint8_t *at = msg + codec::FIRST_ELEMENT_OFFSET;
    at += codec::write_block_element(at, block);
    for (const codec::Field &f : codec::FIELDS) {
        if (!present(block, f)) continue;
        if (f.form == codec::FieldForm::text) {
            const char *text = block.*f.text;
            at += codec::write_text_element(at, f.type, text, text_length(text) + 1);
        } else {
            at += codec::write_data_element(at, f.type, block.*f.data, block.*f.length);
        }
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

void copy_back(const _VULE_PARAMETERS32 &answer, _VULE_PARAMETERS32 *caller) {
    _VULE_PARAMETERS32 &c = *caller;
    copy_text(c.command_name, answer.command_name);
    copy_text(c.command_string, answer.command_string);
    std::memcpy(c.resource_VEXA_id, answer.resource_VEXA_id, sizeof c.resource_VEXA_id);
    copy_data(c.user_data, c.user_data_length, answer.user_data, answer.user_data_length, true);
    copy_data(c.user_ctrl_data, c.user_ctrl_data_length, answer.user_ctrl_data,
              answer.user_ctrl_data_length, false);
    copy_inline(c.exit_name, answer.exit_name, sizeof c.exit_name);
    copy_inline(c.op_id, answer.op_id, sizeof c.op_id);
    c.resource_type = answer.resource_type;
    c.resource_status = answer.resource_status;
    c.resource_flags = answer.resource_flags;
    c.client_handle = answer.client_handle;
    c.data_source = answer.data_source;
    c.command_indicator = answer.command_indicator;
    copy_text(c.display_name, answer.display_name);
    copy_text(c.display_resource_type, answer.display_resource_type);
    c.OKA_menu_id = answer.OKA_menu_id;
    copy_data(c.user_res_data, c.user_res_data_length, answer.user_res_data,
              answer.user_res_data_length, false);
    c.res_OKA_id = answer.res_OKA_id;
    copy_text(c.hb_source, answer.hb_source);
    copy_text(c.hb_sub_source, answer.hb_sub_source);
    copy_text(c.hb_origin, answer.hb_origin);
    copy_text(c.hb_sub_origin, answer.hb_sub_origin);
    copy_text(c.hb_hostname, answer.hb_hostname);
    copy_text(c.data1, answer.data1);
    copy_text(c.data2, answer.data2);
    copy_text(c.data3, answer.data3);
    copy_text(c.data4, answer.data4);
    copy_text(c.hb_es_managed_node, answer.hb_es_managed_node);
    copy_text(c.business_sys_name, answer.business_sys_name);
    c.wait_for_cmd_response = answer.wait_for_cmd_response;
    c.want_corr_of_cmd_rsps = answer.want_corr_of_cmd_rsps;
    c.resource_status_ts = answer.resource_status_ts;
    copy_inline(c.exit_executable_name, answer.exit_executable_name, sizeof c.exit_executable_name);
    c.exit_timeout = answer.exit_timeout;
    copy_data(c.OKA_data, c.OKA_data_length, answer.OKA_data, answer.OKA_data_length, false);
    copy_text(c.signon_username, answer.signon_username);
    copy_text(c.resource_QOB_oid, answer.resource_QOB_oid);
    copy_text(c.zerva_hostname, answer.zerva_hostname);
    copy_text(c.zerva_ip_addr, answer.zerva_ip_addr);
    copy_inline(c.reserved_133, answer.reserved_133, sizeof c.reserved_133);
    copy_text(c.client_hostname, answer.client_hostname);
    copy_text(c.client_ip_addr_dd, answer.client_ip_addr_dd);
}

}  // namespace kavi::send
