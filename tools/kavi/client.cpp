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

ClientTask::~ClientTask() {
    if (!started_) return;
    VULC_STOPCOM stop{};
    stop.head.length = sizeof stop;
    memcpy(stop.head.task, name_, 8);
    vulcstopcom(&stop);
}

uint32_t ClientTask::start(const std::string &node) {
    uint32_t rc = VULC_ALREADY_STARTED;
    for (unsigned attempt = 0; attempt < 16 && rc == VULC_ALREADY_STARTED; ++attempt) {
        char name[16];
        snprintf(name, sizeof name, "KV%06X", (getpid() + attempt * 0x10000u) & 0xFFFFFFu);
        memcpy(name_, name, 8);
        VULC_STRTCOM request{};
        request.head.length = sizeof request;
        memcpy(request.head.task, name_, 8);
        rc = vulcstrtcom(&request);
        if (rc == VULC_OK) {
            handle_ = request.receive_handle;
            started_ = true;
        }
    }
    if (rc != VULC_OK) return rc;
    // Without a distributed transport --node joins the node; with one, it names the destination.
    VULC_CHECKTASK check{};
    check.head.length = sizeof check;
    memcpy(check.head.task, name_, 8);
    vulcchecktask(&check);
    memcpy(node_, check.node, sizeof node_);
    std::string remote = remote_node(node);
    if (!remote.empty()) memcpy(node_, remote.data(), sizeof node_);
    return VULC_OK;
}

std::string ClientTask::node_name() const {
    size_t n = sizeof node_;
    while (n > 0 && (node_[n - 1] == ' ' || node_[n - 1] == '\0')) --n;
    return std::string(node_, n);
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
    if (bytes_ == nullptr) return;
    VULC_FREEMEM request{};
    request.head.length = sizeof request;
    memcpy(request.head.task, task_, 8);
    request.buffer = bytes_;
    vulcfreemem(&request);
}

void pad(const std::string &text, char *out, size_t width) {
    memset(out, ' ', width);
    for (size_t i = 0; i < text.size() && i < width; ++i)
        out[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
}

uint32_t send_elements(const ClientTask &task, const std::string &destination,
                       const std::vector<uint8_t> &elements, uint16_t function_code, Sent *sent,
                       uint32_t *reason) {
    VULC_ALCMEM alloc{};
    alloc.head.length = sizeof alloc;
    memcpy(alloc.head.task, task.name(), 8);
    alloc.size = static_cast<uint32_t>(codec::HEADER_SIZE + elements.size());
    if (uint32_t rc = vulcalcmem(&alloc); rc != VULC_OK) {
        *reason = alloc.head.reason;
        return rc;
    }
    Message message(task.name(), static_cast<uint8_t *>(alloc.buffer), alloc.size);
    if (!elements.empty())
        memcpy(message.bytes() + codec::HEADER_SIZE, elements.data(), elements.size());

    VULC_SNDDATA request{};
    request.head.length = sizeof request;
    memcpy(request.head.task, task.name(), 8);
    pad(destination, request.dest_app, sizeof request.dest_app);
    memcpy(request.dest_node, task.node(), sizeof request.dest_node);
    request.send_length = message.length();
    request.buffer = message.bytes();
    request.function_code = function_code;
    sent->at = Clock::now();
    uint32_t rc = vulcsnddata(&request);
    *reason = request.head.reason;
    // The service wrote the header into the buffer; a reply carries its message id back.
    sent->message_id = codec::get_u32(message.bytes() + VULC_HDR_MESSAGE_ID);
    return rc;
}

Awaited await_message(const ClientTask &task, double timeout_s,
                      const std::function<bool(const Message &)> &wanted,
                      std::optional<Message> *out, uint32_t *rc) {
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Awaited::timeout;
        VULC_SOCWAIT wait{};
        wait.length = sizeof wait;
        wait.timeout_ms = static_cast<int32_t>(left.count());
        wait.wait_handle = task.handle();
        if (vulcsocwait(&wait) == VULC_SEM_TIMEOUT) return Awaited::timeout;
        uint32_t length = 0;
        void *buffer = nullptr;
        VULC_RCVDATA receive{};
        receive.head.length = sizeof receive;
        memcpy(receive.head.task, task.name(), 8);
        receive.receive_handle = task.handle();
        receive.wait_handle = task.handle();
        receive.length_out = &length;
        receive.buffer_out = &buffer;
        *rc = vulcrcvdata(&receive);
        if (*rc == VULC_NO_DATA) continue;
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
