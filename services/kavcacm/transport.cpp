// transport.cpp — the backend in use while no distributed transport is configured: no other
// node is reachable.
#include "services/kavcacm/transport.h"

#include "services/kavcacm/kavcacm.h"

namespace kavc {

namespace {

class NoTransport final : public Transport {
  public:
    uint32_t send(const char *, const char *, const unsigned char *, size_t,
                  uint32_t *reason) override {
        *reason = 0;
        return VULC_UNREACHABLE;
    }
};

}  // namespace

Transport &remote_transport() {
    static NoTransport none;
    return none;
}

}  // namespace kavc
