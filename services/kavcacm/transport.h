// transport.h — the seam through which a message leaves for another node. The distributed
// backend slots in behind remote_transport() without touching the callers of the service.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavc {

class Transport {
  public:
    virtual ~Transport() = default;
    // send: carries a message whose header is filled to the application dest_app ("KAVIEXIT" or
    // a task name) of dest_node, whose own service delivers it. 0 or a service code
    // (VULC_UNREACHABLE when the node cannot be reached); *reason gets the backend's detail.
    virtual uint32_t send(const char dest_node[24], const char dest_app[8],
                          const unsigned char *msg, size_t len, uint32_t *reason) = 0;
};

// remote_transport: the backend for every node but the local one.
Transport &remote_transport();

}  // namespace kavc
