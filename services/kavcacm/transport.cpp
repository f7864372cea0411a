// transport.cpp — picks the backend for other nodes: NATS when configured, else none, where no
// other node is reachable.
#include "services/kavcacm/transport.h"

#include "services/kavcacm/nats_config.h"

namespace kavc {

namespace {

class NoTransport final : public Transport {
  public:
    uint32_t send(const char *, const char *, const unsigned char *, size_t, bool,
                  uint32_t *reason) override {
        *reason = 0;
        return VULC_UNREACHABLE;
    }
    uint32_t served(const char *, const char *) override { return VULC_UNREACHABLE; }
    uint32_t attach(const char *, uint32_t *reason) override {
        *reason = 0;
        return VULC_OK;
    }
    void detach(const char *) override {}
    uint32_t lost_connections() override { return 0; }
    uint32_t list_tasks(const char *, std::vector<VULC_TASKINFO> *) override {
        return VULC_UNREACHABLE;
    }
    uint32_t shutdown(const char *, uint32_t *) override { return VULC_UNREACHABLE; }
    uint32_t nodes(std::vector<std::string> *) override { return VULC_OK; }
};

}  // namespace

Transport &remote_transport() {
    static NoTransport none;
    static Transport &chosen = nats_configured() ? nats_transport() : none;
    return chosen;
}

}  // namespace kavc
