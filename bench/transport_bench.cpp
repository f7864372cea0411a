// transport_bench.cpp — the command round trip through the communication service against the
// raw baseline B, measured in one run: (a) B itself; (b) vulcsnddata from a client task, and on
// the server vulcsocwait/vulcrcvdata on a receive thread, hand-off to a worker, the reply sent
// from the received buffer with vulcsnddata. Same sizes, same hand-off; rounds alternate so that
// load from elsewhere on the machine falls on both alike.

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "services/kavcacm/task_client.h"

using namespace kavibench;

namespace {

constexpr Rounds ROUNDS = {500, 10, 2000};

constexpr char SERVER[] = "BSERVER";
constexpr uint32_t REQUEST = BASELINE_REQUEST;
constexpr uint32_t REPLY = BASELINE_REPLY;

int serve() {
    kavc::Started start = kavc::start(SERVER);
    if (start.rc != VULC_OK) return 1;
    HandOff handoff;
    std::thread worker([&] {
        for (;;) {
            auto *msg = static_cast<char *>(handoff.take());
            memset(msg + VULC_HEADER_LENGTH, 'r', REPLY - VULC_HEADER_LENGTH);
            kavc::send(SERVER, std::string_view(msg + VULC_HDR_ORIGIN_NAME, 8), msg, REPLY, 0,
                       std::string_view(msg + VULC_HDR_ORIGIN_NODE, 24));
            kavc::release(SERVER, msg);
        }
    });
    // Waits for and takes each message, as an exit's queue thread does.
    for (;;) {
        uint32_t len = 0;
        void *msg = nullptr;
        if (kavc::receive_wait(SERVER, start.receive_handle, &msg, &len, -1) == VULC_OK)
            handoff.put(msg);
    }
}

class ServiceRoundTrip {
  public:
    ServiceRoundTrip()
        : server_(serve), client_("BCLIENT"), request_(REQUEST - VULC_HEADER_LENGTH, 'q') {
        // The server may still be starting its task.
        kavc::await_started(SERVER, 5000);
    }

    bool round_trip() {
        if (client_.start_rc() != VULC_OK ||
            client_.send_bytes(SERVER, request_.data(), request_.size()) != VULC_OK)
            return false;
        uint32_t len = 0;
        void *reply = nullptr;
        if (client_.receive(&reply, &len, -1) != VULC_OK) return false;
        client_.release(reply);
        return len == REPLY;
    }

  private:
    ChildProcess server_;
    kavc::TaskClient client_;
    std::string request_;
};

}  // namespace

int main() {
    use_own_node();
    Baseline raw;
    ServiceRoundTrip service;
    std::vector<double> a, b;
    if (!compare("transport_bench", ROUNDS, raw, service, &a, &b)) return 1;
    Summary sa = summarize(a), sb = summarize(b);
    std::printf("round trip, %zu-byte request, %zu-byte reply, server hands off to a worker\n",
                BASELINE_REQUEST, BASELINE_REPLY);
    print_comparison("(b) kavcacm calls", "ratio (b)/(a)  [target <= 1.1]", sa, sb);
    return 0;
}
