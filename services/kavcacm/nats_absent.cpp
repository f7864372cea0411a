// nats_absent.cpp — the NATS backend of a build without the NATS C client (the Windows DLLs so
// far). A process configured for NATS cannot make its tasks reachable from other nodes: it says so
// once, and its registrations fail rather than run as if the other nodes were there.
#include <cstdio>
#include <mutex>
#include <string>

#include "services/kavcacm/request.h"
#include "services/kavcacm/transport.h"

namespace kavc {

namespace {

class AbsentNats final : public NoTransport {
  public:
    uint32_t attach(const char *, uint32_t *reason) override {
        *reason = 0;
        std::call_once(said_, [] {
            std::string line =
                "kavcacm: the NATS transport cannot start: this build has no NATS "
                "client (KAVI_NATS_URL is set)";
            std::fprintf(stderr, "%s\n", line.c_str());
            log_failure("nats_connect", VULC_TRANSPORT_FAILED, 0, __LINE__, line.data(),
                        line.size());
        });
        return VULC_TRANSPORT_FAILED;
    }
    uint32_t nodes(std::vector<std::string> *) override { return VULC_UNREACHABLE; }

  private:
    std::once_flag said_;
};

}  // namespace

Transport &nats_transport() {
    static AbsentNats absent;
    return absent;
}

}  // namespace kavc
