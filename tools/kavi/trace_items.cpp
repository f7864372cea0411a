// trace_items.cpp — the fields of each structure a trace record carries, by name. An item is
// taken in the form its record's signature gives, else recognised by its length or its own
// header, and shown in hexadecimal otherwise.
#include "tools/kavi/trace_items.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "exit/codec.h"
#include "exit/records.h"
#include "services/kavcacm/kavcacm.h"
#include "tools/kavi/trace_signatures.h"

namespace kavitool {

namespace {

namespace codec = kavi::codec;

struct Shown {
    std::string text;
    std::string json;
};

// --- structures by member -------------------------------------------------------------------

struct Member {
    const char *name;
    Form form;
    size_t offset;
    size_t size;
};

#define KAVI_MEMBER(type, field, form) \
    { #field, Form::form, offsetof(type, field), sizeof(type::field) }

using kavi::InvocationRecord;
using kavi::QueueStartRecord;

const Member INVOCATION[] = {
    KAVI_MEMBER(InvocationRecord, exit_function, address),
    KAVI_MEMBER(InvocationRecord, block, address),
    KAVI_MEMBER(InvocationRecord, message, address),
    KAVI_MEMBER(InvocationRecord, correlation, correlation),
    KAVI_MEMBER(InvocationRecord, destination_name, text),
    KAVI_MEMBER(InvocationRecord, origin_name, text),
    KAVI_MEMBER(InvocationRecord, origin_node, text),
    KAVI_MEMBER(InvocationRecord, run_mode, u32),
    KAVI_MEMBER(InvocationRecord, exit_index, u16),
    KAVI_MEMBER(InvocationRecord, kind, u32),
    KAVI_MEMBER(InvocationRecord, message_length, u32),
    KAVI_MEMBER(InvocationRecord, native_block, native_block),
};

const Member QUEUE_START[] = {
    KAVI_MEMBER(QueueStartRecord, name, text),
    KAVI_MEMBER(QueueStartRecord, mailslot, address),
    KAVI_MEMBER(QueueStartRecord, exit_function, address),
    KAVI_MEMBER(QueueStartRecord, queue_ended, address),
    KAVI_MEMBER(QueueStartRecord, reserved, u32),
    KAVI_MEMBER(QueueStartRecord, receive_handle, address),
    KAVI_MEMBER(QueueStartRecord, wait_handle, address),
    KAVI_MEMBER(QueueStartRecord, run_mode, u32),
    KAVI_MEMBER(QueueStartRecord, exit_index, u16),
    KAVI_MEMBER(QueueStartRecord, slot_generation, u32),
};

// Every request block but the wait's begins with the same head.
const Member HEAD[] = {
    KAVI_MEMBER(VULC_HEAD, length, u32),
    KAVI_MEMBER(VULC_HEAD, task, text),
    KAVI_MEMBER(VULC_HEAD, rc, u32),
    KAVI_MEMBER(VULC_HEAD, reason, u32),
};
const Member STRTCOM[] = {
    KAVI_MEMBER(VULC_STRTCOM, mailslot, text),
    KAVI_MEMBER(VULC_STRTCOM, receive_handle, address),
    KAVI_MEMBER(VULC_STRTCOM, mailslot_handle, address),
    KAVI_MEMBER(VULC_STRTCOM, wait_handle, address),
};
const Member CHECKTASK[] = {KAVI_MEMBER(VULC_CHECKTASK, node, text)};
const Member SOCWAIT[] = {
    KAVI_MEMBER(VULC_SOCWAIT, length, u32),
    KAVI_MEMBER(VULC_SOCWAIT, zero, u32),
    KAVI_MEMBER(VULC_SOCWAIT, timeout_ms, i32),
    KAVI_MEMBER(VULC_SOCWAIT, wait_handle, address),
    KAVI_MEMBER(VULC_SOCWAIT, mailslot_handle, address),
};
const Member RCVDATA[] = {
    KAVI_MEMBER(VULC_RCVDATA, mailslot_handle, address),
    KAVI_MEMBER(VULC_RCVDATA, receive_handle, address),
    KAVI_MEMBER(VULC_RCVDATA, wait_handle, address),
    KAVI_MEMBER(VULC_RCVDATA, length_out, address),
    KAVI_MEMBER(VULC_RCVDATA, buffer_out, address),
};
const Member ALCMEM[] = {
    KAVI_MEMBER(VULC_ALCMEM, size, u32),
    KAVI_MEMBER(VULC_ALCMEM, buffer, address),
};
const Member SNDDATA[] = {
    KAVI_MEMBER(VULC_SNDDATA, dest_app, text),     KAVI_MEMBER(VULC_SNDDATA, dest_node, text),
    KAVI_MEMBER(VULC_SNDDATA, send_length, u32),   KAVI_MEMBER(VULC_SNDDATA, buffer, address),
    KAVI_MEMBER(VULC_SNDDATA, function_code, u16),
};
const Member FREEMEM[] = {KAVI_MEMBER(VULC_FREEMEM, buffer, address)};

#undef KAVI_MEMBER

struct Request {
    const char *call;
    size_t size;
    bool has_head;
    const Member *members;  // after the head
    size_t count;
};
#define KAVI_REQUEST(call, type, head, members) \
    { call, sizeof(type), head, members, sizeof members / sizeof(Member) }
const Request REQUESTS[] = {
    KAVI_REQUEST("vulcstrtcom", VULC_STRTCOM, true, STRTCOM),
    {"vulcstopcom", sizeof(VULC_STOPCOM), true, nullptr, 0},
    KAVI_REQUEST("vulcchecktask", VULC_CHECKTASK, true, CHECKTASK),
    KAVI_REQUEST("vulcsocwait", VULC_SOCWAIT, false, SOCWAIT),
    KAVI_REQUEST("vulcrcvdata", VULC_RCVDATA, true, RCVDATA),
    KAVI_REQUEST("vulcalcmem", VULC_ALCMEM, true, ALCMEM),
    KAVI_REQUEST("vulcsnddata", VULC_SNDDATA, true, SNDDATA),
    KAVI_REQUEST("vulcfreemem", VULC_FREEMEM, true, FREEMEM),
};
#undef KAVI_REQUEST

// --- showing values --------------------------------------------------------------------------

uint64_t little_endian(std::string_view bytes) {
    uint64_t v = 0;
    for (size_t i = bytes.size(); i-- > 0;) v = v << 8 | static_cast<uint8_t>(bytes[i]);
    return v;
}

std::string hex_of(std::string_view bytes) {
    return hex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

// Names and texts end at a terminator and lose their blank padding.
std::string text_of(std::string_view bytes) {
    size_t n = std::min(bytes.find('\0'), bytes.size());
    while (n > 0 && bytes[n - 1] == ' ') --n;
    return std::string(bytes.substr(0, n));
}

Shown number(long long v) {
    return {std::to_string(v), std::to_string(v)};
}

// show_fields: a structure as {name=value ...} and as a JSON object; each field's text is as
// it is to be shown.
Shown show_fields(const std::vector<PrintedField> &fields) {
    Shown out{"{", "{"};
    for (const PrintedField &f : fields) {
        if (out.json.size() > 1) {
            out.text += ' ';
            out.json += ", ";
        }
        out.text += f.name + "=" + f.text;
        out.json += json_string(f.name) + ": " + f.json;
    }
    out.text += '}';
    out.json += '}';
    return out;
}

bool is_pointer_field(const std::string &name) {
    for (const codec::Field &f : codec::FIELDS)
        if (name == f.name) return true;
    return false;
}

// show_block: the fields of a decoded block. A traced image carries no pointers (they meant
// something only in the writing process), so its pointer fields are left out.
Shown show_block(const _VULE_PARAMETERS32 &block, bool with_pointers) {
    std::vector<PrintedField> fields;
    for (PrintedField &f : print_fields(block)) {
        if (!with_pointers && is_pointer_field(f.name)) continue;
        // Texts are quoted, so that an empty or blank one still shows.
        if (!f.json.empty() && f.json[0] == '"') f.text = quoted(f.text);
        fields.push_back(std::move(f));
    }
    return show_fields(fields);
}

Shown show_wire_block(std::string_view bytes) {
    _VULE_PARAMETERS32 block;
    codec::decode_block(reinterpret_cast<const uint8_t *>(bytes.data()), &block);
    return show_block(block, false);
}

Shown show_native_block(std::string_view bytes) {
    // Through the wire image, so that no pointer of the writing process is ever followed.
    _VULE_PARAMETERS32 native;
    std::memcpy(&native, bytes.data(), sizeof native);
    uint8_t wire[codec::BLOCK_SIZE];
    codec::encode_block(native, wire);
    return show_wire_block(std::string_view(reinterpret_cast<const char *>(wire), sizeof wire));
}

const char *element_error(codec::ElementError e) {
    switch (e) {
        case codec::ElementError::none:
            return "none";
        case codec::ElementError::block_short:
            return "no parameter block";
        default:
            return "damaged elements";
    }
}

bool looks_like_message(std::string_view b) {
    const auto *p = reinterpret_cast<const uint8_t *>(b.data());
    return b.size() >= codec::FIRST_ELEMENT_OFFSET &&
           codec::get_u16(p + 2) == codec::MESSAGE_TYPE &&
           codec::get_u16(p + 6) == codec::FORMAT_LEVEL;
}

// show_message: the header of a command message and, when the whole message was recorded, the
// block its elements make.
Shown show_message(std::string_view bytes) {
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    codec::Header h = codec::read_header(copy.data());
    auto text = [](const char *name, const char *p, size_t n) {
        std::string t = text_of(std::string_view(p, n));
        return PrintedField{name, quoted(t), json_string(t)};
    };
    auto num = [](const char *name, long long v) {
        return PrintedField{name, std::to_string(v), std::to_string(v)};
    };
    std::vector<PrintedField> fields = {
        num("total_length", h.total_length),
        num("function_code", h.function_code),
        text("origin_name", h.origin_name, sizeof h.origin_name),
        text("origin_node", h.origin_node, sizeof h.origin_node),
        text("destination_name", h.destination_name, sizeof h.destination_name),
        num("element_block_length", h.element_block_length),
    };
    if (codec::header_valid(h, copy.size())) {
        _VULE_PARAMETERS32 block;
        codec::ElementError e = codec::decode_command(copy.data(), copy.size(), &block);
        if (e == codec::ElementError::none) {
            Shown b = show_block(block, true);
            fields.push_back({"block", b.text, b.json});
        } else {
            fields.push_back({"elements", quoted(element_error(e)), json_string(element_error(e))});
        }
    }
    return show_fields(fields);
}

std::vector<const Request *> requests_of(std::string_view b) {
    std::vector<const Request *> out;
    if (b.size() < 4 || little_endian(b.substr(0, 4)) != b.size()) return out;
    for (const Request &r : REQUESTS)
        if (r.size == b.size()) out.push_back(&r);
    return out;
}

Shown show_value(Form form, std::string_view b);

Shown show_members(std::string_view b, const Member *members, size_t count,
                   std::vector<PrintedField> fields = {}) {
    for (size_t i = 0; i < count; ++i) {
        const Member &m = members[i];
        Shown v = show_value(m.form, b.substr(m.offset, m.size));
        fields.push_back({m.name, v.text, v.json});
    }
    return show_fields(fields);
}

// show_request: a block of one call by all its fields; where calls share a size, their common
// head, and the names of every call it may belong to.
Shown show_request(std::string_view b) {
    std::vector<const Request *> calls = requests_of(b);
    std::string names;
    bool all_have_head = true;
    for (const Request *r : calls) {
        names += (names.empty() ? "" : " or ") + std::string(r->call);
        all_have_head = all_have_head && r->has_head;
    }
    std::vector<PrintedField> fields = {{"call", quoted(names), json_string(names)}};
    if (calls.size() == 1 && !calls[0]->has_head)
        return show_members(b, calls[0]->members, calls[0]->count, fields);
    size_t head = all_have_head ? sizeof HEAD / sizeof(Member) : 1;
    std::vector<Member> members(HEAD, HEAD + head);
    if (calls.size() == 1)
        members.insert(members.end(), calls[0]->members, calls[0]->members + calls[0]->count);
    return show_members(b, members.data(), members.size(), fields);
}

// size_fits: whether bytes have the length that a form needs (0: any).
bool size_fits(Form form, std::string_view b) {
    switch (form) {
        case Form::u16:
        case Form::i16:
            return b.size() == 2;
        case Form::u32:
        case Form::i32:
        case Form::correlation:
            return b.size() == 4;
        case Form::address:
            return b.size() >= 1 && b.size() <= 8;
        case Form::block:
            return b.size() == codec::BLOCK_SIZE;
        case Form::native_block:
            return b.size() == sizeof(_VULE_PARAMETERS32);
        case Form::invocation:
            return b.size() == sizeof(InvocationRecord);
        case Form::queue_start:
            return b.size() == sizeof(QueueStartRecord);
        case Form::message:
            return looks_like_message(b);
        case Form::request:
            return !requests_of(b).empty();
        default:
            return true;
    }
}

Shown show_value(Form form, std::string_view b) {
    if (!size_fits(form, b)) form = Form::hex;
    uint64_t v = b.size() <= 8 ? little_endian(b) : 0;
    switch (form) {
        case Form::text: {
            std::string t = text_of(b);
            return {quoted(t), json_string(t)};
        }
        case Form::u16:
        case Form::u32:
            return number(static_cast<long long>(v));
        case Form::i16:
            return number(static_cast<int16_t>(v));
        case Form::i32:
            return number(static_cast<int32_t>(v));
        case Form::address: {
            char text[24];
            std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
            return {text, json_string(text)};
        }
        case Form::correlation: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(v));
            return {text, std::to_string(v)};
        }
        case Form::block:
            return show_wire_block(b);
        case Form::native_block:
            return show_native_block(b);
        case Form::invocation:
            return show_members(b, INVOCATION, sizeof INVOCATION / sizeof(Member));
        case Form::queue_start:
            return show_members(b, QUEUE_START, sizeof QUEUE_START / sizeof(Member));
        case Form::message:
            return show_message(b);
        case Form::request:
            return show_request(b);
        case Form::hex:
            break;
    }
    std::string digits = hex_of(b.substr(0, ITEM_HEX_MAX));
    if (b.size() > ITEM_HEX_MAX) digits += "...";
    return {digits, json_string(digits)};
}

// recognise: the form of an item that no signature names, by its length or its own header.
Form recognise(std::string_view b) {
    for (Form f : {Form::block, Form::message, Form::request, Form::invocation, Form::queue_start})
        if (size_fits(f, b)) return f;
    return Form::hex;
}

}  // namespace

PrintedField describe_item(std::string_view function, uint32_t kind, size_t index,
                           const kavz::TraceItem &item) {
    const ItemSpec *spec = spec_of(function, kind, index);
    PrintedField out{spec != nullptr ? spec->name : "item" + std::to_string(index), {}, {}};
    std::string head = "{\"name\": " + json_string(out.name) +
                       ", \"length\": " + std::to_string(item.length) + ", \"state\": ";
    if (item.state == kavz::ItemState::unreadable) {
        out.text = "(unreadable, " + std::to_string(item.length) + " bytes)";
        out.json = head + "\"unreadable\"}";
        return out;
    }
    Form form = spec != nullptr ? spec->form : recognise(item.bytes);
    bool cut = item.state == kavz::ItemState::cut;
    // Of a cut item only texts and message headers still mean what they say.
    if (cut && form != Form::text && form != Form::message) form = Form::hex;
    if (!size_fits(form, item.bytes)) form = Form::hex;
    Shown v = show_value(form, item.bytes);
    if (form == Form::hex) {
        out.text = std::to_string(item.length) + ":" + v.text;
        out.json = head + (cut ? "\"cut\"" : "\"whole\"") + ", \"hex\": " + v.json + "}";
    } else {
        out.text = v.text;
        out.json = head + (cut ? "\"cut\"" : "\"whole\"") + ", \"value\": " + v.json + "}";
    }
    if (cut) out.text += "(cut, " + std::to_string(item.length) + " bytes)";
    return out;
}

}  // namespace kavitool
