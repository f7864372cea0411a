// block_fields.cpp — every field of the parameter block by name: how an operator's text sets it
// and how it prints. Text and data fields are the codec's; the rest are described here.
#include "tools/kavi/block_fields.h"

#include <strings.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit/codec.h"

namespace kavitool {

namespace {

using kavi::codec::Field;
using kavi::codec::FieldForm;

enum class Kind {
    pointer,
    inline_text,
    fixed_text,
    u8,
    u16,
    i16,
    u32,
    i32,
    timestamp,
    correlation
};

struct Described {
    const char *name;
    Kind kind;
    size_t offset;  // in the native block
    size_t width;   // bytes of an inline or fixed text
};

#define KAVI_POINTER(f) \
    { #f, Kind::pointer, offsetof(_VULE_PARAMETERS32, f), 0 }
#define KAVI_FIELD(f, kind) \
    { #f, Kind::kind, offsetof(_VULE_PARAMETERS32, f), 0 }
#define KAVI_TEXT(f, kind) \
    { #f, Kind::kind, offsetof(_VULE_PARAMETERS32, f), sizeof(_VULE_PARAMETERS32::f) }

// Block order, so a printed block reads like its layout.
const Described DESCRIBED[] = {
    KAVI_POINTER(command_name),
    KAVI_POINTER(command_string),
    KAVI_TEXT(exit_name, inline_text),
    KAVI_TEXT(exit_executable_name, inline_text),
    KAVI_FIELD(exit_timeout, i32),
    KAVI_FIELD(wait_for_cmd_response, i16),
    KAVI_FIELD(want_corr_of_cmd_rsps, u16),
    KAVI_FIELD(correlation_id, correlation),
    KAVI_FIELD(client_handle, u32),
    KAVI_TEXT(client_ip_addr, inline_text),
    KAVI_TEXT(server_ip_addr, inline_text),
    KAVI_POINTER(signon_username),
    KAVI_TEXT(op_id, inline_text),
    KAVI_POINTER(user_data),
    KAVI_FIELD(user_data_length, u16),
    KAVI_POINTER(user_ctrl_data),
    KAVI_FIELD(user_ctrl_data_length, u16),
    KAVI_FIELD(OKA_menu_id, u32),
    KAVI_FIELD(extended_reason_code, i32),
    KAVI_POINTER(zerva_hostname),
    KAVI_POINTER(zerva_ip_addr),
    KAVI_POINTER(client_hostname),
    KAVI_POINTER(client_ip_addr_dd),
    KAVI_POINTER(display_name),
    KAVI_POINTER(display_resource_type),
    KAVI_FIELD(resource_type, u32),
    KAVI_FIELD(resource_status, u8),
    KAVI_FIELD(resource_status_ts, timestamp),
    KAVI_FIELD(resource_flags, u32),
    KAVI_POINTER(data1),
    KAVI_POINTER(data2),
    KAVI_POINTER(data3),
    KAVI_POINTER(data4),
    KAVI_FIELD(data_source, u16),
    KAVI_FIELD(command_indicator, u16),
    KAVI_TEXT(resource_VEXA_id, fixed_text),
    KAVI_POINTER(user_res_data),
    KAVI_FIELD(user_res_data_length, u16),
    KAVI_FIELD(res_OKA_id, u32),
    KAVI_POINTER(hb_source),
    KAVI_POINTER(hb_sub_source),
    KAVI_POINTER(hb_origin),
    KAVI_POINTER(hb_sub_origin),
    KAVI_POINTER(hb_hostname),
    KAVI_POINTER(hb_es_managed_node),
    KAVI_POINTER(business_sys_name),
    KAVI_POINTER(OKA_data),
    KAVI_FIELD(OKA_data_length, u16),
    KAVI_POINTER(resource_QOB_oid),
};

#undef KAVI_TEXT
#undef KAVI_FIELD
#undef KAVI_POINTER

const Field *codec_field(const char *name, size_t *index) {
    for (size_t i = 0; i < kavi::codec::FIELD_COUNT; ++i) {
        if (strcmp(kavi::codec::FIELDS[i].name, name) == 0) {
            *index = i;
            return &kavi::codec::FIELDS[i];
        }
    }
    return nullptr;
}

uint8_t *at(_VULE_PARAMETERS32 *block, const Described &d) {
    return reinterpret_cast<uint8_t *>(block) + d.offset;
}
const uint8_t *at(const _VULE_PARAMETERS32 &block, const Described &d) {
    return reinterpret_cast<const uint8_t *>(&block) + d.offset;
}

bool parse_integer(const std::string &value, long long low, long long high, long long *out) {
    if (value.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(value.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *out = v;
    return true;
}

bool parse_hex(const std::string &value, std::vector<uint8_t> *out) {
    if (value.size() % 2 != 0 || value.size() / 2 > UINT16_MAX) return false;
    out->clear();
    for (size_t i = 0; i < value.size(); i += 2) {
        char pair[3] = {value[i], value[i + 1], '\0'};
        char *end = nullptr;
        long byte = strtol(pair, &end, 16);
        if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) return false;
        out->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

// 2015-03-09T14:05:07.6; the tenths may be left out.
bool parse_timestamp(const std::string &value, VULE_TIMESTAMP *ts) {
    unsigned yr, mo, da, hr, mn, sc, tn = 0;
    char tail = 0;
    int n = sscanf(value.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u.%1u%c", &yr, &mo, &da, &hr, &mn, &sc,
                   &tn, &tail);
    if ((n != 6 && n != 7) || mo > 12 || da > 31 || hr > 23 || mn > 59 || sc > 60) return false;
    *ts = VULE_TIMESTAMP{static_cast<uint16_t>(yr), static_cast<uint8_t>(mo),
                         static_cast<uint8_t>(da),  static_cast<uint8_t>(hr),
                         static_cast<uint8_t>(mn),  static_cast<uint8_t>(sc),
                         static_cast<uint8_t>(tn)};
    return true;
}

bool set_integer(uint8_t *p, Kind kind, const std::string &value) {
    long long v = 0;
    switch (kind) {
        case Kind::u8:
            if (!parse_integer(value, 0, UINT8_MAX, &v)) return false;
            *p = static_cast<uint8_t>(v);
            return true;
        case Kind::u16:
        case Kind::i16: {
            bool ok = kind == Kind::u16 ? parse_integer(value, 0, UINT16_MAX, &v)
                                        : parse_integer(value, INT16_MIN, INT16_MAX, &v);
            auto w = static_cast<uint16_t>(v);
            if (ok) memcpy(p, &w, sizeof w);
            return ok;
        }
        default: {
            bool ok = kind == Kind::u32 || kind == Kind::correlation
                          ? parse_integer(value, 0, UINT32_MAX, &v)
                          : parse_integer(value, INT32_MIN, INT32_MAX, &v);
            auto w = static_cast<uint32_t>(v);
            if (ok) memcpy(p, &w, sizeof w);
            return ok;
        }
    }
}

bool set_described(OutgoingBlock *out, const Described &d, const std::string &value,
                   std::string *error) {
    uint8_t *p = at(&out->block, d);
    switch (d.kind) {
        case Kind::pointer: {
            size_t i = 0;
            const Field *f = codec_field(d.name, &i);
            if (f->form == FieldForm::text) {
                out->texts[i] = value;
                out->block.*f->text = out->texts[i].data();
                return true;
            }
            if (!parse_hex(value, &out->data[i])) {
                *error = "expects hexadecimal digits, two per byte";
                return false;
            }
            out->block.*f->data = out->data[i].data();
            out->block.*f->length = static_cast<uint16_t>(out->data[i].size());
            return true;
        }
        case Kind::inline_text:
            // Blank-padded before the terminator, as the block keeps inline texts.
            if (value.size() >= d.width) {
                *error = "takes at most " + std::to_string(d.width - 1) + " characters";
                return false;
            }
            memset(p, ' ', d.width - 1);
            memcpy(p, value.data(), value.size());
            p[d.width - 1] = '\0';
            return true;
        case Kind::fixed_text:
            if (value.size() > d.width) {
                *error = "takes at most " + std::to_string(d.width) + " characters";
                return false;
            }
            memset(p, ' ', d.width);
            memcpy(p, value.data(), value.size());
            return true;
        case Kind::timestamp:
            if (!parse_timestamp(value, &out->block.resource_status_ts)) {
                *error = "expects a time stamp like 2015-03-09T14:05:07.6";
                return false;
            }
            return true;
        default:
            if (!set_integer(p, d.kind, value)) {
                *error = "expects a number that fits the field";
                return false;
            }
            return true;
    }
}

std::string trimmed(const uint8_t *p, size_t width, bool stop_at_nul) {
    size_t n = stop_at_nul ? strnlen(reinterpret_cast<const char *>(p), width) : width;
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t' || p[n - 1] == '\0')) --n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

PrintedField print_described(const _VULE_PARAMETERS32 &block, const Described &d) {
    const uint8_t *p = at(block, d);
    PrintedField out{d.name, {}, {}};
    auto number = [&](long long v) {
        out.text = std::to_string(v);
        out.json = out.text;
    };
    switch (d.kind) {
        case Kind::pointer: {
            size_t i = 0;
            const Field *f = codec_field(d.name, &i);
            if (f->form == FieldForm::text) {
                const char *text = block.*f->text;
                out.text = text != nullptr ? text : "(none)";
                out.json = text != nullptr ? json_string(text) : "null";
            } else {
                const void *data = block.*f->data;
                std::string digits = hex(static_cast<const uint8_t *>(data), block.*f->length);
                out.text = data != nullptr ? digits : "(none)";
                out.json = data != nullptr ? json_string(digits) : "null";
            }
            break;
        }
        case Kind::inline_text:
        case Kind::fixed_text:
            out.text = trimmed(p, d.width, d.kind == Kind::inline_text);
            out.json = json_string(out.text);
            break;
        case Kind::u8:
            number(*p);
            break;
        case Kind::u16:
        case Kind::i16: {
            uint16_t w;
            memcpy(&w, p, sizeof w);
            number(d.kind == Kind::u16 ? static_cast<long long>(w) : static_cast<int16_t>(w));
            break;
        }
        case Kind::u32:
        case Kind::i32: {
            uint32_t w;
            memcpy(&w, p, sizeof w);
            number(d.kind == Kind::u32 ? static_cast<long long>(w) : static_cast<int32_t>(w));
            break;
        }
        case Kind::timestamp: {
            const VULE_TIMESTAMP &ts = block.resource_status_ts;
            char text[40];
            snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%u", ts.yr, ts.mo, ts.da,
                     ts.hr, ts.mn, ts.sc, ts.tn);
            out.text = text;
            out.json = json_string(text);
            break;
        }
        case Kind::correlation: {
            const VULE_CORRELATION &c = block.correlation_id;
            char text[96];
            snprintf(text, sizeof text, "0x%08X (invoker_id %u, depth %u, numb %u)",
                     kavi::codec::correlation_of(block), unsigned{c.invoker_id}, unsigned{c.depth},
                     unsigned{c.numb});
            out.text = text;
            snprintf(text, sizeof text, "{\"invoker_id\": %u, \"depth\": %u, \"numb\": %u}",
                     unsigned{c.invoker_id}, unsigned{c.depth}, unsigned{c.numb});
            out.json = text;
            break;
        }
    }
    return out;
}

}  // namespace

OutgoingBlock::OutgoingBlock() : texts(kavi::codec::FIELD_COUNT), data(kavi::codec::FIELD_COUNT) {}

bool set_field(OutgoingBlock *out, const std::string &name, const std::string &value,
               std::string *error) {
    // The three parts of correlation_id may also be set one by one.
    VULE_CORRELATION &c = out->block.correlation_id;
    long long v = 0;
    if (name == "invoker_id" || name == "depth" || name == "numb") {
        long long high = name == "invoker_id" ? 15 : name == "depth" ? 4095 : UINT16_MAX;
        if (!parse_integer(value, 0, high, &v)) {
            *error = "expects a number from 0 to " + std::to_string(high);
            return false;
        }
        if (name == "invoker_id") c.invoker_id = static_cast<uint16_t>(v);
        if (name == "depth") c.depth = static_cast<uint16_t>(v);
        if (name == "numb") c.numb = static_cast<uint16_t>(v);
        return true;
    }
    for (const Described &d : DESCRIBED) {
        if (strcasecmp(d.name, name.c_str()) == 0) {
            if (d.kind == Kind::correlation) {
                if (!parse_integer(value, 0, UINT32_MAX, &v)) {
                    *error = "expects a 32-bit number";
                    return false;
                }
                kavi::codec::set_correlation(&out->block, static_cast<uint32_t>(v));
                return true;
            }
            return set_described(out, d, value, error);
        }
    }
    *error = "is not a field of the parameter block; the fields: " + field_names();
    return false;
}

std::string field_names() {
    std::string names;
    for (const Described &d : DESCRIBED) names += std::string(names.empty() ? "" : ", ") + d.name;
    return names + " (and invoker_id, depth, numb: the parts of correlation_id)";
}

std::vector<PrintedField> print_fields(const _VULE_PARAMETERS32 &block) {
    std::vector<PrintedField> out;
    for (const Described &d : DESCRIBED) out.push_back(print_described(block, d));
    return out;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", ch);
            out += escaped;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string hex(const uint8_t *bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; bytes != nullptr && i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace kavitool
