// client.cpp — kavi's own task on the node and the messages it sends and receives.
#include "tools/kavi/client.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "exit/codec.h"
#include "tools/kavi/options.h"

namespace kavitool {

namespace codec = kavi::codec;

uint32_t ClientTask::start(const std::string &node) {
    uint32_t rc = VULC_ALREADY_STARTED;
    for (unsigned attempt = 0; attempt < 16 && rc == VULC_ALREADY_STARTED; ++attempt) {
        char name[16];
        snprintf(name, sizeof name, "KV%06X", (getpid() + attempt * 0x10000u) & 0xFFFFFFu);
        task_.emplace(name);
        rc = task_->start_rc();
    }
    if (rc != VULC_OK) return rc;
    // Without a distributed transport --node joins the node; with one, it names the destination.
    target_ = remote_node(node);
    if (target_.empty()) target_ = task_->node();
    return VULC_OK;
}

std::string ClientTask::node_name() const {
    std::string node = target_;
    while (!node.empty() && (node.back() == ' ' || node.back() == '\0')) node.pop_back();
    return node;
}

Message::Message(const char task[8], uint8_t *bytes, uint32_t length)
    : bytes_(bytes), length_(length) {
    memcpy(task_, task, 8);
}

Message::Message(Message &&other) noexcept : bytes_(other.bytes_), length_(other.length_) {
    memcpy(task_, other.task_, 8);
    other.bytes_ = nullptr;
}

Message::~Message() {
    if (bytes_ != nullptr) kavc::release(std::string_view(task_, 8), bytes_);
}

void pad(const std::string &text, char *out, size_t width) {
    memset(out, ' ', width);
    for (size_t i = 0; i < text.size() && i < width; ++i)
        out[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
}

uint32_t send_elements(const ClientTask &task, const std::string &destination,
                       const std::vector<uint8_t> &elements, uint16_t function_code, Sent *sent,
                       uint32_t *reason) {
    char dest[8];
    pad(destination, dest, sizeof dest);
    sent->at = Clock::now();
    return task.client().send_bytes(std::string_view(dest, 8), elements.data(), elements.size(),
                                    function_code, &sent->message_id, reason, task.node());
}

Awaited await_message(const ClientTask &task, double timeout_s,
                      const std::function<bool(const Message &)> &wanted,
                      std::optional<Message> *out, uint32_t *rc) {
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Awaited::timeout;
        uint32_t length = 0;
        void *buffer = nullptr;
        *rc = task.client().receive(&buffer, &length, static_cast<int>(left.count()));
        if (*rc == VULC_NO_DATA) return Awaited::timeout;
        if (*rc != VULC_OK) return Awaited::failed;
        Message message(task.name(), static_cast<uint8_t *>(buffer), length);
        if (!wanted(message)) continue;
        out->emplace(std::move(message));
        return Awaited::message;
    }
}

bool is_reply_to(const Message &message, const Sent &sent) {
    return message.length() >= codec::FIRST_ELEMENT_OFFSET &&
           codec::get_u32(message.bytes() + VULC_HDR_MESSAGE_ID) == sent.message_id;
}

std::string not_reachable(const std::string &exit, const ClientTask &task) {
    std::string node = task.node_name();
    return "exit " + exit + " is not started on node " + node + " (kavi list --node " + node +
           " lists the exits there)";
}

}  // namespace kavitool
