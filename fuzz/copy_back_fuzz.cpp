// copy_back_fuzz.cpp — any bytes as the answer a waiting KaviSend receives (an answer of function
// code 1 or 2, or a reply), copied back into a caller's block as the call does. The input's first
// 25 bytes say what the caller sent in each field, in the order of the message (0xFF: nothing;
// otherwise a text of that many characters modulo 64, or a data area of that count); the rest is
// the answer. Each of the caller's areas is an allocation of exactly what was sent, so a write
// past it is the sanitizer's to see. Besides, it fails when a text is left without its
// terminator, a pointer moves anywhere but to null, or a data length exceeds what was sent.
// Links: kaviexit_testing
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "exit/codec.h"
#include "exit/send_message.h"

namespace {

using namespace kavi;
using namespace kavi::codec;

void check(bool holds) {
    if (!holds) std::abort();
}

constexpr size_t SHAPE_SIZE = FIELD_COUNT;
constexpr uint8_t NOTHING = 0xFF;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < SHAPE_SIZE) return 0;
    const uint8_t *shape = data;

    // The caller's block and its areas, each exactly as large as what was sent in it.
    _VULE_PARAMETERS32 caller{};
    std::unique_ptr<char[]> areas[FIELD_COUNT];
    size_t sent_size[FIELD_COUNT] = {};
    for (size_t i = 0; i < FIELD_COUNT; ++i) {
        if (shape[i] == NOTHING) continue;
        const Field &f = FIELDS[i];
        size_t n = shape[i] % 64;
        sent_size[i] = f.form == FieldForm::text ? n + 1 : n;
        areas[i] = std::make_unique<char[]>(std::max<size_t>(sent_size[i], 1));
        std::memset(areas[i].get(), 'c', sent_size[i]);
        if (f.form == FieldForm::text) {
            areas[i][n] = '\0';
            caller.*f.text = areas[i].get();
        } else {
            caller.*f.data = areas[i].get();
            caller.*f.length = static_cast<uint16_t>(n);
        }
    }
    send::SentFields sent;
    check(send::measure_fields(caller, &sent));

    // The answer as the service hands it out: the message, then zeroed spare bytes.
    size_t message_size = size - SHAPE_SIZE;
    std::vector<uint8_t> buffer(std::max(message_size, FIRST_ELEMENT_OFFSET), 0);
    std::memcpy(buffer.data(), data + SHAPE_SIZE, message_size);
    if (!header_valid(read_header(buffer.data()), message_size)) return 0;
    _VULE_PARAMETERS32 answer{};
    if (decode_command(buffer.data(), message_size, &answer) != ElementError::none) return 0;

    send::copy_back(answer, sent, &caller);
    for (size_t i = 0; i < FIELD_COUNT; ++i) {
        const Field &f = FIELDS[i];
        if (f.form == FieldForm::text) {
            const char *text = caller.*f.text;
            check(text == nullptr || text == areas[i].get());
            if (text != nullptr) check(std::memchr(text, 0, sent_size[i]) != nullptr);
        } else {
            const void *area = caller.*f.data;
            check(area == nullptr || area == areas[i].get());
            if (area != nullptr && answer.*f.data != nullptr)
                check(caller.*f.length <= sent_size[i]);
        }
    }
    return 0;
}
