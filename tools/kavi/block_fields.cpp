// block_fields.cpp — every field of the parameter block by name: how an operator's text sets it
// and how it prints, each as the codec's field table shows it.
#include "tools/kavi/block_fields.h"

#include <strings.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit/codec.h"
#include "tools/kavi/quote.h"

namespace kavitool {

namespace {

using kavi::codec::Field;
using kavi::codec::FieldForm;

using kavi::codec::BlockField;
using kavi::codec::Shown;

// The codec's field a pointer of the block is, and its index in the codec's order.
const Field &codec_field(const BlockField &d, size_t *index) {
    const Field *f = kavi::codec::field_for_type(d.element_type);
    *index = static_cast<size_t>(f - kavi::codec::FIELDS.data());
    return *f;
}

uint8_t *at(_VULE_PARAMETERS32 *block, const BlockField &d) {
    return reinterpret_cast<uint8_t *>(block) + d.native;
}
const uint8_t *at(const _VULE_PARAMETERS32 &block, const BlockField &d) {
    return reinterpret_cast<const uint8_t *>(&block) + d.native;
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

bool set_integer(uint8_t *p, Shown kind, const std::string &value) {
    long long v = 0;
    switch (kind) {
        case Shown::u8:
            if (!parse_integer(value, 0, UINT8_MAX, &v)) return false;
            *p = static_cast<uint8_t>(v);
            return true;
        case Shown::u16:
        case Shown::i16: {
            bool ok = kind == Shown::u16 ? parse_integer(value, 0, UINT16_MAX, &v)
                                         : parse_integer(value, INT16_MIN, INT16_MAX, &v);
            auto w = static_cast<uint16_t>(v);
            if (ok) memcpy(p, &w, sizeof w);
            return ok;
        }
        default: {
            bool ok = kind == Shown::u32 || kind == Shown::correlation
                          ? parse_integer(value, 0, UINT32_MAX, &v)
                          : parse_integer(value, INT32_MIN, INT32_MAX, &v);
            auto w = static_cast<uint32_t>(v);
            if (ok) memcpy(p, &w, sizeof w);
            return ok;
        }
    }
}

bool set_described(OutgoingBlock *out, const BlockField &d, const std::string &value,
                   std::string *error) {
    uint8_t *p = at(&out->block, d);
    switch (d.shown) {
        case Shown::pointed: {
            size_t i = 0;
            const Field &f = codec_field(d, &i);
            if (f.form == FieldForm::text) {
                out->texts[i] = value;
                out->block.*f.text = out->texts[i].data();
                return true;
            }
            if (!parse_hex(value, &out->data[i])) {
                *error = "expects hexadecimal digits, two per byte";
                return false;
            }
            out->block.*f.data = out->data[i].data();
            out->block.*f.length = static_cast<uint16_t>(out->data[i].size());
            return true;
        }
        case Shown::inline_text:
            // Blank-padded before the terminator, as the block keeps inline texts.
            if (value.size() >= d.native_width) {
                *error = "takes at most " + std::to_string(d.native_width - 1) + " characters";
                return false;
            }
            memset(p, ' ', d.native_width - 1);
            memcpy(p, value.data(), value.size());
            p[d.native_width - 1] = '\0';
            return true;
        case Shown::fixed_text:
            if (value.size() > d.native_width) {
                *error = "takes at most " + std::to_string(d.native_width) + " characters";
                return false;
            }
            memset(p, ' ', d.native_width);
            memcpy(p, value.data(), value.size());
            return true;
        case Shown::timestamp:
            if (!parse_timestamp(value, &out->block.resource_status_ts)) {
                *error = "expects a time stamp like 2015-03-09T14:05:07.6";
                return false;
            }
            return true;
        default:
            if (!set_integer(p, d.shown, value)) {
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

PrintedField print_described(const _VULE_PARAMETERS32 &block, const BlockField &d) {
    const uint8_t *p = at(block, d);
    PrintedField out{d.name, {}, {}};
    auto number = [&](long long v) {
        out.text = std::to_string(v);
        out.json = out.text;
    };
    switch (d.shown) {
        case Shown::pointed: {
            size_t i = 0;
            const Field &f = codec_field(d, &i);
            if (f.form == FieldForm::text) {
                const char *text = block.*f.text;
                out.text = text != nullptr ? text : "(none)";
                out.json = text != nullptr ? json_string(text) : "null";
            } else {
                const void *data = block.*f.data;
                std::string digits = hex(static_cast<const uint8_t *>(data), block.*f.length);
                out.text = data != nullptr ? digits : "(none)";
                out.json = data != nullptr ? json_string(digits) : "null";
            }
            break;
        }
        case Shown::inline_text:
        case Shown::fixed_text:
            out.text = trimmed(p, d.native_width, d.shown == Shown::inline_text);
            out.json = json_string(out.text);
            break;
        case Shown::u8:
            number(*p);
            break;
        case Shown::u16:
        case Shown::i16: {
            uint16_t w;
            memcpy(&w, p, sizeof w);
            number(d.shown == Shown::u16 ? static_cast<long long>(w) : static_cast<int16_t>(w));
            break;
        }
        case Shown::u32:
        case Shown::i32: {
            uint32_t w;
            memcpy(&w, p, sizeof w);
            number(d.shown == Shown::u32 ? static_cast<long long>(w) : static_cast<int32_t>(w));
            break;
        }
        case Shown::timestamp: {
            const VULE_TIMESTAMP &ts = block.resource_status_ts;
            char text[40];
            snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%u", ts.yr, ts.mo, ts.da,
                     ts.hr, ts.mn, ts.sc, ts.tn);
            out.text = text;
            out.json = json_string(text);
            break;
        }
        case Shown::correlation: {
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
        case Shown::hidden:
            break;
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
    for (const BlockField &d : kavi::codec::BLOCK_FIELDS) {
        if (d.shown != Shown::hidden && strcasecmp(d.name, name.c_str()) == 0) {
            if (d.shown == Shown::correlation) {
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
    for (const BlockField &d : kavi::codec::BLOCK_FIELDS)
        if (d.shown != Shown::hidden) names += std::string(names.empty() ? "" : ", ") + d.name;
    return names + " (and invoker_id, depth, numb: the parts of correlation_id)";
}

std::vector<PrintedField> print_fields(const _VULE_PARAMETERS32 &block) {
    std::vector<PrintedField> out;
    for (const BlockField &d : kavi::codec::BLOCK_FIELDS)
        if (d.shown != Shown::hidden) out.push_back(print_described(block, d));
    return out;
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
