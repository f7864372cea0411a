// message_builder.h — a message built element by element, its header kept valid, for the tests of
// the codec, the message walk and the replies.
#pragma once

#include <cstring>
#include <string_view>
#include <vector>

#include "exit/codec.h"

namespace kavitest {

struct Message {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kavi::codec::FIRST_ELEMENT_OFFSET, 0);

    explicit Message(uint16_t function = kavi::codec::FUNCTION_COMMAND) {
        kavi::codec::put_u16(bytes.data() + 48, function);
        finish();
    }
    Message &append(const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        bytes.insert(bytes.end(), b, b + n);
        return finish();
    }
    Message &raw(std::initializer_list<uint8_t> b) { return append(b.begin(), b.size()); }
    Message &block(const _VULE_PARAMETERS32 &b) {
        return put([&](uint8_t *at) { return kavi::codec::write_block_element(at, b); });
    }
    Message &block(uint32_t correlation) {
        _VULE_PARAMETERS32 b{};
        kavi::codec::set_correlation(&b, correlation);
        return block(b);
    }
    Message &text(uint16_t type, std::string_view t) {
        return put([&](uint8_t *at) {
            return kavi::codec::write_text_element(at, type, t.data(), t.size() + 1);
        });
    }
    Message &data(uint16_t type, std::string_view d) {
        return put([&](uint8_t *at) {
            return kavi::codec::write_data_element(at, type, d.data(),
                                                   static_cast<uint16_t>(d.size()));
        });
    }
    // field: the element that carries the field of this type, text or data.
    Message &field(uint16_t type, std::string_view v) {
        bool text_field = kavi::codec::field_for_type(type)->form == kavi::codec::FieldForm::text;
        return text_field ? text(type, v) : data(type, v);
    }
    Message &end() { return put(kavi::codec::write_end_element); }
    // finish: total length, header fields and element-block head for what the message holds.
    Message &finish() {
        using namespace kavi::codec;
        put_u16(bytes.data(), static_cast<uint16_t>(bytes.size()));
        put_u16(bytes.data() + 2, MESSAGE_TYPE);
        put_u16(bytes.data() + 4, HEADER_LENGTH_FIELD);
        put_u16(bytes.data() + 6, FORMAT_LEVEL);
        write_element_block_head(bytes.data(),
                                 static_cast<uint16_t>(bytes.size() - ELEMENT_BLOCK_OFFSET));
        return *this;
    }
    uint8_t *data() { return bytes.data(); }
    size_t size() const { return bytes.size(); }

  private:
    template <typename Write>
    Message &put(Write write) {
        std::vector<uint8_t> element(70000);
        element.resize(write(element.data()));
        return append(element.data(), element.size());
    }
};

}  // namespace kavitest
