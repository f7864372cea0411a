// lifecycle_support.h — what the exit lifecycle tests share: a tool task that plays the server
// (it sends hand-made command messages to an exit and receives the replies), element builders,
// and a look at the exit table under its mutex.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"

namespace lifecycle {

namespace codec = kavi::codec;

// send_command: one command from task `from` to task `to` (both padded) on `node`: a parameter
// block with `correlation` and `to` as exit_name, then a command_name element. The code of
// vulcalcmem when it fails, else that of vulcsnddata; the buffer is released either way.
inline uint32_t send_command(const char *from, const char *to, const char node[24],
                             uint32_t correlation, const char *command_name) {
    _VULE_PARAMETERS32 block{};
    memcpy(block.exit_name, to, 8);
    codec::set_correlation(&block, correlation);
    size_t text = strlen(command_name) + 1;
    size_t elements = 4 + codec::BLOCK_ELEMENT_LENGTH + codec::text_element_length(text);
    VULC_ALCMEM alloc{};
    alloc.head.length = sizeof alloc;
    memcpy(alloc.head.task, from, 8);
    alloc.size = static_cast<uint32_t>(codec::HEADER_SIZE + elements);
    if (vulcalcmem(&alloc) != VULC_OK) return alloc.head.rc;
    auto *msg = static_cast<uint8_t *>(alloc.buffer);
    codec::write_element_block_head(msg, static_cast<uint16_t>(elements));
    uint8_t *at = msg + codec::FIRST_ELEMENT_OFFSET;
    at += codec::write_block_element(at, block);
    codec::write_text_element(at, 2, command_name, text);
    VULC_SNDDATA request{};
    request.head.length = sizeof request;
    memcpy(request.head.task, from, 8);
    memcpy(request.dest_app, to, 8);
    memcpy(request.dest_node, node, 24);
    request.send_length = alloc.size;
    request.buffer = msg;
    uint32_t rc = vulcsnddata(&request);
    VULC_FREEMEM release{};
    release.head.length = sizeof release;
    memcpy(release.head.task, from, 8);
    release.buffer = msg;
    vulcfreemem(&release);
    return rc;
}

inline std::string pad(const std::string &name) {
    std::string padded = name;
    padded.resize(8, ' ');
    return padded;
}

inline void put16(std::vector<uint8_t> *v, uint16_t x) {
    v->push_back(static_cast<uint8_t>(x));
    v->push_back(static_cast<uint8_t>(x >> 8));
}

// add_element: an element of any length and type with the given body (no checks: tests build
// malformed elements with it).
inline void add_element(std::vector<uint8_t> *v, uint16_t length, uint16_t type,
                        const std::vector<uint8_t> &body) {
    put16(v, length);
    put16(v, type);
    v->insert(v->end(), body.begin(), body.end());
}

// add_block: a type 1 element whose block carries the correlation and the exit name.
inline void add_block(std::vector<uint8_t> *v, uint32_t correlation,
                      const std::string &exit_name = "") {
    std::vector<uint8_t> body(codec::BLOCK_SIZE + 2, 0);
    codec::put_u32(&body[34], correlation);
    memcpy(&body[8], exit_name.data(), exit_name.size() < 8 ? exit_name.size() : 8);
    add_element(v, codec::BLOCK_ELEMENT_LENGTH, codec::TYPE_BLOCK, body);
}

inline void add_text(std::vector<uint8_t> *v, uint16_t type, const std::string &text) {
    std::vector<uint8_t> body(codec::text_element_length(text.size() + 1) - 4, 0);
    memcpy(body.data(), text.c_str(), text.size() + 1);
    add_element(v, static_cast<uint16_t>(body.size() + 4), type, body);
}

inline void add_status(std::vector<uint8_t> *v, uint16_t status, uint32_t correlation) {
    std::vector<uint8_t> body(6);
    codec::put_u16(&body[0], status);
    codec::put_u32(&body[2], correlation);
    add_element(v, codec::STATUS_ELEMENT_LENGTH, codec::TYPE_STATUS, body);
}

// Tool: a task that is not an exit (started with an empty mailslot path), playing the server.
class Tool {
  public:
    explicit Tool(const std::string &name) : name_(pad(name)) {
        VULC_STRTCOM block{};
        block.head.length = sizeof block;
        memcpy(block.head.task, name_.data(), 8);
        EXPECT_EQ(vulcstrtcom(&block), VULC_OK);
        handle_ = block.receive_handle;
    }
    ~Tool() {
        VULC_STOPCOM block{};
        block.head.length = sizeof block;
        memcpy(block.head.task, name_.data(), 8);
        vulcstopcom(&block);
    }

    // send: a message to the task `to` whose element block holds `elements`; the element-block
    // length is what the elements add up to, plus `block_length_error`.
    uint32_t send(const std::string &to, const std::vector<uint8_t> &elements,
                  uint16_t function_code = 0, int block_length_error = 0) {
        uint32_t total = static_cast<uint32_t>(codec::FIRST_ELEMENT_OFFSET + elements.size());
        VULC_ALCMEM alloc{};
        alloc.head.length = sizeof alloc;
        memcpy(alloc.head.task, name_.data(), 8);
        alloc.size = total;
        if (vulcalcmem(&alloc) != VULC_OK) return alloc.head.rc;
        auto *msg = static_cast<uint8_t *>(alloc.buffer);
        codec::write_element_block_head(
            msg, static_cast<uint16_t>(4 + elements.size() + block_length_error));
        if (!elements.empty())
            memcpy(msg + codec::FIRST_ELEMENT_OFFSET, elements.data(), elements.size());
        VULC_SNDDATA send{};
        send.head.length = sizeof send;
        memcpy(send.head.task, name_.data(), 8);
        memcpy(send.dest_app, pad(to).data(), 8);
        memset(send.dest_node, ' ', sizeof send.dest_node);
        // The node as the service gives it: the library's copy is written by registrations.
        VULC_CHECKTASK check{};
        check.head.length = sizeof check;
        memcpy(check.head.task, name_.data(), 8);
        vulcchecktask(&check);
        memcpy(send.dest_node, check.node, 24);
        send.send_length = total;
        send.buffer = msg;
        send.function_code = function_code;
        uint32_t rc = vulcsnddata(&send);
        release(msg);
        return rc;
    }

    // receive: a copy of the next message, or nothing when none arrives within timeout_ms.
    std::vector<uint8_t> receive(int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            VULC_SOCWAIT wait{};
            wait.length = sizeof wait;
            wait.timeout_ms = 20;
            wait.wait_handle = handle_;
            vulcsocwait(&wait);
            uint32_t length = 0;
            void *buffer = nullptr;
            VULC_RCVDATA block{};
            block.head.length = sizeof block;
            memcpy(block.head.task, name_.data(), 8);
            block.receive_handle = handle_;
            block.wait_handle = handle_;
            block.length_out = &length;
            block.buffer_out = &buffer;
            if (vulcrcvdata(&block) == VULC_OK) {
                auto *bytes = static_cast<uint8_t *>(buffer);
                std::vector<uint8_t> copy(bytes, bytes + length);
                release(buffer);
                return copy;
            }
        }
        return {};
    }

  private:
    void release(void *buffer) {
        VULC_FREEMEM block{};
        block.head.length = sizeof block;
        memcpy(block.head.task, name_.data(), 8);
        block.buffer = buffer;
        vulcfreemem(&block);
    }

    std::string name_;
    VULC_HANDLE handle_ = 0;
};

// reply_status: the status element of a reply, or -1 when it has none.
inline int reply_status(const std::vector<uint8_t> &reply, uint32_t *correlation = nullptr) {
    if (reply.size() < codec::MIN_COMMAND_SIZE) return -1;
    codec::ElementReader reader(reply.data(), reply.size());
    codec::Element e;
    while (reader.next(&e)) {
        if (e.type != codec::TYPE_STATUS) continue;
        if (correlation != nullptr) *correlation = codec::status_correlation_of(e);
        return codec::status_code_of(e);
    }
    return -1;
}

// A copy of a slot's fields, taken under the exit table mutex.
struct SlotView {
    std::string name;
    bool queue_ended = false;
    bool dispatcher_mutex = false;
    bool work_posted = false;
    uint32_t terminating = 0;
};

inline SlotView slot_view(unsigned index) {
    SlotView view;
    EXPECT_EQ(kavi::lock_mutex(kavi::exit_table_mutex), 0u);
    const kavi::ExitSlot &slot = kavi::exit_table[index];
    view.name = slot.name;
    view.queue_ended = slot.queue_ended != nullptr;
    view.dispatcher_mutex = slot.dispatcher_mutex != nullptr;
    view.work_posted = slot.work_posted != nullptr;
    view.terminating = slot.terminating;
    plat::mutex_release(kavi::exit_table_mutex);
    return view;
}

}  // namespace lifecycle
