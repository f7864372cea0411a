// transport.h — the seam through which messages reach other nodes. Without a distributed
// transport configured, no other node is reachable; with one (KAVI_NATS_URL), the tasks of this
// process are reachable from the other nodes and theirs from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "services/kavcacm/kavcacm.h"

namespace kavc {

class Transport {
  public:
    virtual ~Transport() = default;
    // send: carries a message whose header is filled, bytes unchanged, to the task dest_task of
    // dest_node, whose service puts it into the task's inbox. 0, or VULC_UNREACHABLE, at once,
    // when nobody serves the task there or the transport is down; *reason gets the backend's
    // detail. reply: the message answers one that arrived; it is not checked for a taker (its
    // origin tells a lost answer itself) and waits a moment for the transport to come back.
    virtual uint32_t send(const char dest_node[24], const char dest_task[8],
                          const unsigned char *msg, size_t len, bool reply, uint32_t *reason) = 0;
    // served: whether the task is started on the (other) node: 0 yes, VULC_NOT_STARTED nobody
    // serves it, VULC_UNREACHABLE the transport cannot tell now.
    virtual uint32_t served(const char node[24], const char task[8]) = 0;
    // attach: makes a task this process started reachable from other nodes; 0, or
    // VULC_TRANSPORT_FAILED when the transport cannot start (said once, with why). detach: the
    // task is reachable no more.
    virtual uint32_t attach(const char task[8], uint32_t *reason) = 0;
    virtual void detach(const char task[8]) = 0;
    // lost_connections: how often the connection to the other nodes was lost.
    virtual uint32_t lost_connections() = 0;
    // Tools: the tasks started on another node; the waits of its processes ended; the nodes
    // whose processes answer. 0 or VULC_UNREACHABLE (nobody answers for the node).
    virtual uint32_t list_tasks(const char node[24], std::vector<VULC_TASKINFO> *out) = 0;
    virtual uint32_t shutdown(const char node[24], uint32_t *ended) = 0;
    virtual uint32_t nodes(std::vector<std::string> *out) = 0;
};

// NoTransport: no other node is reachable.
class NoTransport : public Transport {
  public:
    uint32_t send(const char dest_node[24], const char dest_task[8], const unsigned char *msg,
                  size_t len, bool reply, uint32_t *reason) override;
    uint32_t served(const char *, const char *) override { return VULC_UNREACHABLE; }
    uint32_t attach(const char task[8], uint32_t *reason) override;
    void detach(const char *) override {}
    uint32_t lost_connections() override { return 0; }
    uint32_t list_tasks(const char *, std::vector<VULC_TASKINFO> *) override {
        return VULC_UNREACHABLE;
    }
    uint32_t shutdown(const char *, uint32_t *) override { return VULC_UNREACHABLE; }
    uint32_t nodes(std::vector<std::string> *) override { return VULC_OK; }
};

// remote_transport: the backend for every node but the local one.
Transport &remote_transport();
// nats_transport: the NATS backend, when KAVI_NATS_URL is set.
Transport &nats_transport();

}  // namespace kavc
