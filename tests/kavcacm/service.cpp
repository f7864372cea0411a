// service.cpp — short forms of the service's calls for tests.
#include "tests/kavcacm/service.h"

#include <chrono>
#include <cstring>

namespace kavitest {

namespace {

template <class Block>
Block block_for(const std::string &task) {
    Block block = {};
    block.head.length = sizeof block;
    std::memcpy(block.head.task, padded(task).data(), 8);
    return block;
}

}  // namespace

std::string padded(const std::string &name) {
    std::string s = name.substr(0, 8);
    s.resize(8, ' ');
    return s;
}

Started start(const std::string &task) {
    auto block = block_for<VULC_STRTCOM>(task);
    Started s;
    s.rc = vulcstrtcom(&block);
    s.receive_handle = block.receive_handle;
    s.wait_handle = block.wait_handle;
    return s;
}

uint32_t stop(const std::string &task) {
    auto block = block_for<VULC_STOPCOM>(task);
    return vulcstopcom(&block);
}

uint32_t check(const std::string &task, std::string *node) {
    auto block = block_for<VULC_CHECKTASK>(task);
    uint32_t rc = vulcchecktask(&block);
    if (node != nullptr) node->assign(block.node, sizeof block.node);
    return rc;
}

uint32_t socwait(VULC_HANDLE wait_handle, int32_t timeout_ms) {
    VULC_SOCWAIT block = {sizeof block, 0, timeout_ms, wait_handle, 0};
    return vulcsocwait(&block);
}

uint32_t receive(const std::string &task, VULC_HANDLE handle, void **buffer, uint32_t *length) {
    auto block = block_for<VULC_RCVDATA>(task);
    block.receive_handle = handle;
    block.wait_handle = handle;
    block.length_out = length;
    block.buffer_out = buffer;
    return vulcrcvdata(&block);
}

uint32_t receive_wait(const std::string &task, VULC_HANDLE handle, void **buffer, uint32_t *length,
                      int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        uint32_t rc = receive(task, handle, buffer, length);
        if (rc != VULC_NO_DATA) return rc;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return rc;
        rc = socwait(handle, static_cast<int32_t>(left.count()));
        if (rc != VULC_OK && rc != VULC_SEM_TIMEOUT) return rc;
    }
}

void *allocate(const std::string &task, uint32_t size) {
    auto block = block_for<VULC_ALCMEM>(task);
    block.size = size;
    return vulcalcmem(&block) == VULC_OK ? block.buffer : nullptr;
}

uint32_t release(const std::string &task, void *buffer) {
    auto block = block_for<VULC_FREEMEM>(task);
    block.buffer = buffer;
    return vulcfreemem(&block);
}

uint32_t send(const std::string &task, const std::string &dest_app, void *buffer, uint32_t length,
              uint16_t function_code, const std::string &node) {
    auto block = block_for<VULC_SNDDATA>(task);
    std::memcpy(block.dest_app, padded(dest_app).data(), 8);
    std::string dest_node = node.empty() ? local_node() : node;
    dest_node.resize(24, ' ');
    std::memcpy(block.dest_node, dest_node.data(), 24);
    block.send_length = length;
    block.buffer = buffer;
    block.function_code = function_code;
    return vulcsnddata(&block);
}

std::string local_node() {
    std::string node;
    check("ANYTASK", &node);
    return node;
}

}  // namespace kavitest
