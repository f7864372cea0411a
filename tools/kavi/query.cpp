// query.cpp — the queries of ping, stats and list, sent all at once and answered in any order.
#include "tools/kavi/query.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit/codec.h"
#include "tools/kavi/json_in.h"
#include "tools/kavi/utc_time.h"

namespace kavitool {

namespace {

namespace codec = kavi::codec;

constexpr uint16_t FUNCTION_QUERY = 5;
constexpr uint16_t FUNCTION_QUERY_ANSWER = 6;

// The text an answer carries: one text element after the element-block head.
std::string answer_text(const Message &m) {
    size_t start = codec::FIRST_ELEMENT_OFFSET + 4;
    if (m.length() <= start) return "";
    const char *text = reinterpret_cast<const char *>(m.bytes() + start);
    return std::string(text, strnlen(text, m.length() - start));
}

}  // namespace

std::vector<ExitDetails> query_exits(const ClientTask &task, const std::vector<std::string> &names,
                                     double timeout_s) {
    std::vector<ExitDetails> details(names.size());
    std::vector<Sent> sent(names.size());
    // An empty element block: the query carries nothing but its function code.
    std::vector<uint8_t> elements(4);
    codec::put_u16(elements.data(), 4);
    codec::put_u16(elements.data() + 2, codec::ELEMENT_BLOCK_TYPE);
    size_t waiting = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        details[i].name = names[i];
        uint32_t reason = 0;
        uint32_t rc = send_elements(task, names[i], elements, FUNCTION_QUERY, &sent[i], &reason);
        if (rc == VULC_OK)
            ++waiting;
        else
            details[i].state = ExitDetails::State::not_started;
    }
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    while (waiting > 0) {
        double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        std::optional<Message> message;
        uint32_t rc = 0;
        auto from_an_exit = [](const Message &m) {
            return m.length() >= codec::FIRST_ELEMENT_OFFSET &&
                   codec::read_header(m.bytes()).function_code == FUNCTION_QUERY_ANSWER;
        };
        if (left <= 0 || await_message(task, left, from_an_exit, &message, &rc) != Awaited::message)
            break;
        char origin[8];
        memcpy(origin, codec::read_header(message->bytes()).origin_name, 8);
        for (size_t i = 0; i < names.size(); ++i) {
            char padded[8];
            pad(names[i], padded, 8);
            if (memcmp(padded, origin, 8) != 0 || details[i].state != ExitDetails::State::silent)
                continue;
            details[i].state = ExitDetails::State::answered;
            details[i].round_trip_ms =
                std::chrono::duration<double, std::milli>(Clock::now() - sent[i].at).count();
            details[i].json = answer_text(*message);
            std::vector<std::pair<std::string, std::string>> fields;
            std::string error;
            if (read_json_fields(details[i].json, &fields, &error))
                details[i].fields.insert(fields.begin(), fields.end());
            --waiting;
            break;
        }
    }
    return details;
}

std::string registered_at(const ExitDetails &d) {
    auto it = d.fields.find("since_ns");
    if (it == d.fields.end()) return "-";
    const UtcTime t =
        utc_time(static_cast<int64_t>(strtoull(it->second.c_str(), nullptr, 10) / 1000000000u));
    char text[32];
    snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02uZ", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    return text;
}

}  // namespace kavitool
