// message.h — the message header as the service writes it on send and checks it on receipt.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavc {

struct HeaderFields {
    const char *origin_name;  // 8 bytes
    const char *dest_name;    // 8 bytes
    uint16_t function_code;
    bool new_message;  // fill the service fields (message id, origin process, time) afresh
};

// header_fill: writes the header of a message of len bytes (at least the header's 112).
void header_fill(unsigned char *msg, size_t len, const HeaderFields &fields);
// header_consistent: whether len bytes that arrived can be a message: a whole header whose
// total length is len.
bool header_consistent(const unsigned char *msg, size_t len);

uint16_t load16(const unsigned char *p);
uint32_t load32(const unsigned char *p);
void store16(unsigned char *p, uint16_t v);

}  // namespace kavc
