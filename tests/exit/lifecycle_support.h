// lifecycle_support.h — what the exit lifecycle tests share: element builders, a tool task that
// plays the server, and a look at the exit table under its mutex.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "exit/slot.h"
#include "kaviexit.h"
#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"
#include "services/kavcacm/task_client.h"

namespace lifecycle {

namespace codec = kavi::codec;

inline std::string pad(std::string name) {
    name.resize(8, ' ');
    return name;
}

// task_started: whether the service knows a task of the name (padded here).
inline bool task_started(const std::string &name) {
    auto block = kavc::request_for<VULC_CHECKTASK>(pad(name).data());
    return vulcchecktask(&block) == VULC_OK;
}

// node_of: the node address the service gives the task `name` (padded here).
inline std::string node_of(const std::string &name) {
    auto check = kavc::request_for<VULC_CHECKTASK>(pad(name).data());
    vulcchecktask(&check);
    return std::string(check.node, 24);
}

inline bool exit_mailslot(const std::string &name) {
    return plat::mailslot_exists(("\\\\.\\MAILSLOT\\VULEQUEUE" + name).c_str());
}

// add_element: an element of any length and type with the given body (malformed ones too).
inline void add_element(std::vector<uint8_t> *v, uint16_t length, uint16_t type,
                        const std::vector<uint8_t> &body) {
    for (uint16_t x : {length, type}) {
        v->push_back(static_cast<uint8_t>(x));
        v->push_back(static_cast<uint8_t>(x >> 8));
    }
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

// command_elements: a parameter block with the correlation and exit name, then a command_name.
inline std::vector<uint8_t> command_elements(uint32_t correlation, const std::string &exit_name,
                                             const std::string &command_name) {
    std::vector<uint8_t> v;
    add_block(&v, correlation, exit_name);
    add_text(&v, 2, command_name);
    return v;
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
    explicit Tool(const std::string &name) : client_(name) {
        EXPECT_EQ(client_.start_rc(), VULC_OK);
    }
    // send: a message to the task `to` whose element block holds `elements`; the element-block
    // length is what the elements add up to, plus `block_length_error`.
    uint32_t send(const std::string &to, const std::vector<uint8_t> &elements,
                  uint16_t function_code = 0, int block_length_error = 0) {
        std::vector<uint8_t> message(codec::FIRST_ELEMENT_OFFSET);
        message.insert(message.end(), elements.begin(), elements.end());
        codec::write_element_block_head(
            message.data(), static_cast<uint16_t>(4 + elements.size() + block_length_error));
        return client_.send_bytes(to, message.data() + codec::HEADER_SIZE,
                                  message.size() - codec::HEADER_SIZE, function_code);
    }
    // command: a command named `command_name` with the correlation to the exit `to`.
    uint32_t command(const std::string &to, uint32_t correlation,
                     const std::string &command_name = "CMD") {
        return send(to, command_elements(correlation, to, command_name));
    }
    // take: the service's buffer of the next message (the caller releases it), or null.
    uint8_t *take(uint32_t *length, int timeout_ms) {
        void *buffer = nullptr;
        if (client_.receive(&buffer, length, timeout_ms) != VULC_OK) return nullptr;
        return static_cast<uint8_t *>(buffer);
    }
    // receive: a copy of the next message, or nothing when none arrives within timeout_ms.
    std::vector<uint8_t> receive(int timeout_ms) {
        uint32_t length = 0;
        uint8_t *bytes = take(&length, timeout_ms);
        if (bytes == nullptr) return {};
        std::vector<uint8_t> copy(bytes, bytes + length);
        release(bytes);
        return copy;
    }
    void release(void *buffer) { client_.release(buffer); }
    const std::string &name() const { return client_.name(); }

  private:
    kavc::TaskClient client_;
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

// expect_reply: the tool's next message, within 5 s, is a reply with the status and correlation.
inline void expect_reply(Tool &tool, int status, uint32_t correlation) {
    uint32_t got = 0;
    EXPECT_EQ(reply_status(tool.receive(5000), &got), status);
    EXPECT_EQ(got, correlation);
}

// abandon: leaves the mutex owned by a thread that has ended.
inline void abandon(plat::Mutex *mutex) {
    std::thread([mutex] { ASSERT_EQ(plat::mutex_acquire(mutex), 0u); }).join();
}

// A copy of a slot's fields, taken under the exit table mutex.
struct SlotView {
    std::string name;
    bool queue_ended, dispatcher_mutex, work_posted;
    uint32_t terminating;
    // free: nothing of an exit is left in the slot.
    bool free() const { return name.empty() && !queue_ended && !dispatcher_mutex && !work_posted; }
};

inline SlotView slot_view(unsigned index) {
    kavi::Lock lock(kavi::exit_table_mutex);
    EXPECT_TRUE(lock.held() || kavi::exit_table_mutex == nullptr);  // none before a registration
    const kavi::ExitSlot &slot = kavi::exit_table[index];
    return {slot.name, slot.queue_ended != nullptr, slot.dispatcher_mutex != nullptr,
            slot.work_posted != nullptr, slot.terminating};
}

}  // namespace lifecycle
