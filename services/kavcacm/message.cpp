// message.cpp — writing and checking the message header, byte by byte in little-endian order.
#include "services/kavcacm/message.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"

namespace kavc {

namespace {

void store(unsigned char *p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t next_message_id() {
    static std::atomic<uint32_t> last{0};
    uint32_t id = ++last;
    return id != 0 ? id : ++last;
}

uint64_t now_ns() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
}

}  // namespace

uint16_t load16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t load32(const unsigned char *p) {
    return load16(p) | static_cast<uint32_t>(load16(p + 2)) << 16;
}

void store16(unsigned char *p, uint16_t v) {
    store(p, v, 2);
}

void header_fill(unsigned char *msg, size_t len, const HeaderFields &fields) {
    store(msg + VULC_HDR_TOTAL_LENGTH, len, 2);
    store(msg + VULC_HDR_TYPE, VULC_MESSAGE_TYPE, 2);
    store(msg + VULC_HDR_HEADER_LENGTH, static_cast<uint16_t>(VULC_HEADER_LENGTH_FIELD), 2);
    store(msg + VULC_HDR_LEVEL, 1, 2);
    std::memcpy(msg + VULC_HDR_ORIGIN_NAME, fields.origin_name, 8);
    std::memcpy(msg + VULC_HDR_ORIGIN_NODE, local_node(), 24);
    std::memcpy(msg + VULC_HDR_DEST_NAME, fields.dest_name, 8);
    store(msg + VULC_HDR_FUNCTION, fields.function_code, 2);
    if (!fields.new_message) return;
    std::memset(msg + VULC_HDR_SERVICE_LEVEL, 0, VULC_HEADER_LENGTH - VULC_HDR_SERVICE_LEVEL);
    store(msg + VULC_HDR_SERVICE_LEVEL, 1, 2);
    store(msg + VULC_HDR_MESSAGE_ID, next_message_id(), 4);
    store(msg + VULC_HDR_SEND_TIME, now_ns(), 8);
}

bool header_consistent(const unsigned char *msg, size_t len) {
    return len >= VULC_HEADER_LENGTH && load16(msg + VULC_HDR_TOTAL_LENGTH) == len;
}

}  // namespace kavc
