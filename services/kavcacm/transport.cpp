// transport.cpp — picks the backend for other nodes: NATS when configured, else none, where no
// other node is reachable.
#include "services/kavcacm/transport.h"

#include "services/kavcacm/nats_config.h"

namespace kavc {

uint32_t NoTransport::send(const char *, const char *, const unsigned char *, size_t, bool,
                           uint32_t *reason) {
    *reason = 0;
    return VULC_UNREACHABLE;
}

uint32_t NoTransport::attach(const char *, uint32_t *reason) {
    *reason = 0;
    return VULC_OK;
}

Transport &remote_transport() {
    static NoTransport none;
    static Transport &chosen = nats_configured() ? nats_transport() : none;
    return chosen;
}

}  // namespace kavc
