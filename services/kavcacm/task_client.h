// task_client.h — the service as a task that is not an exit sees it (kavi, the benchmarks, the
// tests): each call in short form, returning the service's code, and a task started for the life
// of an object that sends buffers to other tasks on its node and receives with a time-out.
// Built on the service's public calls alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "services/kavcacm/kavcacm.h"

namespace kavc {

// padded: the name cut or blank-padded to 8 characters, as the request blocks carry it.
std::string padded(std::string_view name);

struct Started {
    uint32_t rc = 0;
    VULC_HANDLE receive_handle = 0;
    VULC_HANDLE wait_handle = 0;
};

// One call each, for the task `task` (padded here); each returns the call's code.
Started start(std::string_view task);
uint32_t stop(std::string_view task);
uint32_t check(std::string_view task, std::string *node = nullptr);
uint32_t socwait(VULC_HANDLE wait_handle, int32_t timeout_ms);
// receive: one vulcrcvdata; *buffer is the service's until release().
uint32_t receive(std::string_view task, VULC_HANDLE handle, void **buffer, uint32_t *length);
// receive_wait: socwait and receive until a message arrives (0), a call fails (its code) or
// timeout_ms passes (VULC_NO_DATA); a negative time-out has no limit.
uint32_t receive_wait(std::string_view task, VULC_HANDLE handle, void **buffer, uint32_t *length,
                      int timeout_ms);
// allocate: a buffer of the service, or null when vulcalcmem failed.
void *allocate(std::string_view task, uint32_t size);
uint32_t release(std::string_view task, void *buffer);
// send: length bytes of buffer from task to dest_app on node (the local node when empty);
// *reason gets the call's reason code.
uint32_t send(std::string_view task, std::string_view dest_app, void *buffer, uint32_t length,
              uint16_t function_code = 0, std::string_view node = {}, uint32_t *reason = nullptr);
// reported_node: the node address the service reports, 24 characters.
std::string reported_node();
// await_started: true once the task `task` is started on the node, false after timeout_ms.
bool await_started(std::string_view task, int timeout_ms);

// A task started for the life of the object and stopped with it.
class TaskClient {
  public:
    explicit TaskClient(std::string_view name);
    ~TaskClient();
    TaskClient(const TaskClient &) = delete;
    TaskClient &operator=(const TaskClient &) = delete;

    uint32_t start_rc() const { return started_.rc; }  // 0 when the task was started
    const std::string &name() const { return name_; }  // 8 characters, blank-padded
    const std::string &node() const { return node_; }  // 24 characters, blank-padded
    VULC_HANDLE handle() const { return started_.receive_handle; }

    // send_bytes: a message of the 112-byte header and `size` bytes to `dest` on `node` (the
    // task's node when empty), in a buffer of the service that is released after the send.
    // *message_id gets the id the service gave it, *reason the call's reason code; the code of
    // the call that failed, or 0.
    uint32_t send_bytes(std::string_view dest, const void *bytes, size_t size,
                        uint16_t function_code = 0, uint32_t *message_id = nullptr,
                        uint32_t *reason = nullptr, std::string_view node = {}) const;
    // receive: as receive_wait, for this task.
    uint32_t receive(void **buffer, uint32_t *length, int timeout_ms) const;
    uint32_t release(void *buffer) const { return kavc::release(name_, buffer); }

  private:
    std::string name_;
    std::string node_;
    Started started_;
};

}  // namespace kavc
