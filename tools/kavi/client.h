// client.h — kavi as a peer on the node: a task of its own (not an exit), the service's message
// buffers, one message sent and the messages that come back. send, ping and stats share it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "services/kavcacm/task_client.h"

namespace kavitool {

// A task named KV and six hexadecimal digits, started for the life of the object, so that
// replies have somewhere to come back to; `kavi list` leaves such tasks out.
class ClientTask {
  public:
    // start: 0, or the service's code. node: the --node given; with a distributed transport it
    // names the node the client sends to (see remote_node), else the client's own node.
    uint32_t start(const std::string &node = "");
    // After a start that returned 0:
    const kavc::TaskClient &client() const { return *task_; }
    const char *name() const { return task_->name().c_str(); }
    const std::string &node() const { return target_; }  // sent to; 24 characters, blank-padded
    std::string node_name() const;                       // without the blanks

  private:
    std::optional<kavc::TaskClient> task_;
    std::string target_;
};

// A buffer of the service, given back when done with.
class Message {
  public:
    Message(const char task[8], uint8_t *bytes, uint32_t length);
    ~Message();
    Message(Message &&other) noexcept;
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;
    Message &operator=(Message &&) = delete;
    uint8_t *bytes() const { return bytes_; }
    uint32_t length() const { return length_; }

  private:
    char task_[8];
    uint8_t *bytes_;
    uint32_t length_;
};

using Clock = std::chrono::steady_clock;

// What identifies the reply to a message sent.
struct Sent {
    uint32_t message_id;
    Clock::time_point at;
};

// send_elements: sends the element block `elements` (what goes from offset 112 on) to the task
// `destination` on the node the client sends to. 0 and *sent, or the service's code and *reason.
uint32_t send_elements(const ClientTask &task, const std::string &destination,
                       const std::vector<uint8_t> &elements, uint16_t function_code, Sent *sent,
                       uint32_t *reason);

enum class Awaited { message, timeout, failed };
// await_message: receives until a message for which `wanted` holds arrives (others are dropped),
// or until the time-out. *out gets that message; *rc the service's code when it failed.
Awaited await_message(const ClientTask &task, double timeout_s,
                      const std::function<bool(const Message &)> &wanted,
                      std::optional<Message> *out, uint32_t *rc);

// is_reply_to: the message carries back the message id of `sent`.
bool is_reply_to(const Message &message, const Sent &sent);

// pad: text upper-cased and blank-padded to width.
void pad(const std::string &text, char *out, size_t width);

// not_reachable: the line that says exit was not found on the client's node, and how to list
// the exits there.
std::string not_reachable(const std::string &exit, const ClientTask &task);

}  // namespace kavitool
