// service.h — short forms of the service's calls for tests: each fills a zeroed block with its
// length and task name and returns the call's code.
#pragma once

#include <cstdint>
#include <string>

#include "services/kavcacm/kavcacm.h"

namespace kavitest {

// The name blank-padded to 8 characters, as the blocks carry it.
std::string padded(const std::string &name);

struct Started {
    uint32_t rc = 0;
    VULC_HANDLE receive_handle = 0;
    VULC_HANDLE wait_handle = 0;
};

Started start(const std::string &task);
uint32_t stop(const std::string &task);
uint32_t check(const std::string &task, std::string *node = nullptr);
// socwait: waits on the handle of a started task.
uint32_t socwait(VULC_HANDLE wait_handle, int32_t timeout_ms);
// receive: one vulcrcvdata; *buffer is the service's until release().
uint32_t receive(const std::string &task, VULC_HANDLE handle, void **buffer, uint32_t *length);
// receive_wait: socwait and receive until a message arrives or timeout_ms passes.
uint32_t receive_wait(const std::string &task, VULC_HANDLE handle, void **buffer, uint32_t *length,
                      int timeout_ms);
void *allocate(const std::string &task, uint32_t size);
uint32_t release(const std::string &task, void *buffer);
// send: length bytes of buffer from task to dest_app on node (the local node when empty).
uint32_t send(const std::string &task, const std::string &dest_app, void *buffer, uint32_t length,
              uint16_t function_code = 0, const std::string &node = "");
// local_node: the node address the service reports, 24 characters.
std::string local_node();

}  // namespace kavitest
