// task_client.cpp — the service's calls in short form, and a task of a tool, benchmark or test.
#include "services/kavcacm/task_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "services/kavcacm/request_block.h"

namespace kavc {

namespace {

using Clock = std::chrono::steady_clock;

template <class Block>
Block request(std::string_view task) {
    return request_for<Block>(padded(task).c_str());
}

}  // namespace

std::string padded(std::string_view name) {
    std::string s(name.substr(0, 8));
    s.resize(8, ' ');
    return s;
}

Started start(std::string_view task) {
    auto block = request<VULC_STRTCOM>(task);
    Started s;
    s.rc = vulcstrtcom(&block);
    s.receive_handle = block.receive_handle;
    s.wait_handle = block.wait_handle;
    return s;
}

uint32_t stop(std::string_view task) {
    auto block = request<VULC_STOPCOM>(task);
    return vulcstopcom(&block);
}

uint32_t check(std::string_view task, std::string *node) {
    auto block = request<VULC_CHECKTASK>(task);
    uint32_t rc = vulcchecktask(&block);
    if (node != nullptr) node->assign(block.node, sizeof block.node);
    return rc;
}

uint32_t socwait(VULC_HANDLE wait_handle, int32_t timeout_ms) {
    VULC_SOCWAIT block = {sizeof block, 0, timeout_ms, wait_handle, 0};
    return vulcsocwait(&block);
}

uint32_t receive(std::string_view task, VULC_HANDLE handle, void **buffer, uint32_t *length) {
    auto block = request<VULC_RCVDATA>(task);
    block.receive_handle = handle;
    block.wait_handle = handle;
    block.length_out = length;
    block.buffer_out = buffer;
    return vulcrcvdata(&block);
}

uint32_t receive_wait(std::string_view task, VULC_HANDLE handle, void **buffer, uint32_t *length,
                      int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    // The wait comes first: a caller usually finds nothing queued yet, and the wait reads the
    // message ahead, so a reply costs one read instead of a failed one and a wait.
    for (;;) {
        int32_t left = -1;
        if (timeout_ms >= 0) {
            auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            left = static_cast<int32_t>(std::max<int64_t>(ms.count(), 0));
        }
        uint32_t rc = socwait(handle, left);
        if (rc == VULC_SEM_TIMEOUT) return VULC_NO_DATA;
        if (rc != VULC_OK) return rc;
        rc = receive(task, handle, buffer, length);
        if (rc != VULC_NO_DATA) return rc;
    }
}

void *allocate(std::string_view task, uint32_t size) {
    auto block = request<VULC_ALCMEM>(task);
    block.size = size;
    return vulcalcmem(&block) == VULC_OK ? block.buffer : nullptr;
}

uint32_t release(std::string_view task, void *buffer) {
    auto block = request<VULC_FREEMEM>(task);
    block.buffer = buffer;
    return vulcfreemem(&block);
}

uint32_t send(std::string_view task, std::string_view dest_app, void *buffer, uint32_t length,
              uint16_t function_code, std::string_view node, uint32_t *reason) {
    auto block = request<VULC_SNDDATA>(task);
    std::memcpy(block.dest_app, padded(dest_app).data(), 8);
    std::string local = node.empty() ? reported_node() : std::string();
    std::string_view dest_node = node.empty() ? std::string_view(local) : node;
    std::memset(block.dest_node, ' ', sizeof block.dest_node);
    std::memcpy(block.dest_node, dest_node.data(),
                std::min(dest_node.size(), sizeof block.dest_node));
    block.send_length = length;
    block.buffer = buffer;
    block.function_code = function_code;
    uint32_t rc = vulcsnddata(&block);
    if (reason != nullptr) *reason = block.head.reason;
    return rc;
}

std::string reported_node() {
    std::string node;
    check("ANYTASK", &node);
    return node;
}

bool await_started(std::string_view task, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (check(task) != VULC_OK) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TaskClient::TaskClient(std::string_view name) : name_(padded(name)), started_(start(name_)) {
    check(name_, &node_);
}

TaskClient::~TaskClient() {
    if (started_.rc == VULC_OK) stop(name_);
}

uint32_t TaskClient::send_bytes(std::string_view dest, const void *bytes, size_t size,
                                uint16_t function_code, uint32_t *message_id, uint32_t *reason,
                                std::string_view node) const {
    auto alloc = request<VULC_ALCMEM>(name_);
    alloc.size = static_cast<uint32_t>(VULC_HEADER_LENGTH + size);
    if (uint32_t rc = vulcalcmem(&alloc); rc != VULC_OK) {
        if (reason != nullptr) *reason = alloc.head.reason;
        return rc;
    }
    auto *buffer = static_cast<unsigned char *>(alloc.buffer);
    if (size > 0) std::memcpy(buffer + VULC_HEADER_LENGTH, bytes, size);
    uint32_t rc =
        send(name_, dest, buffer, alloc.size, function_code, node.empty() ? node_ : node, reason);
    // The service wrote the header into the buffer; a reply carries this id back.
    if (message_id != nullptr) {
        const unsigned char *id = buffer + VULC_HDR_MESSAGE_ID;
        *message_id = id[0] | id[1] << 8 | id[2] << 16 | static_cast<uint32_t>(id[3]) << 24;
    }
    release(buffer);
    return rc;
}

uint32_t TaskClient::receive(void **buffer, uint32_t *length, int timeout_ms) const {
    return receive_wait(name_, started_.receive_handle, buffer, length, timeout_ms);
}

}  // namespace kavc
