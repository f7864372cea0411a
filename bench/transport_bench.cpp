// transport_bench.cpp — the command round trip through the communication service against the
// raw baseline B, measured in one run: (a) B itself; (b) vulcsnddata from a client task, and on
// the server vulcsocwait/vulcrcvdata on a receive thread, hand-off to a worker, the reply sent
// from the received buffer with vulcsnddata. Same sizes, same hand-off; rounds alternate so that
// load from elsewhere on the machine falls on both alike.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "services/kavcacm/kavcacm.h"

using namespace kavibench;

namespace {

constexpr int ROUNDS = 10;
constexpr int PER_ROUND = 2000;
constexpr int WARM_UP = 500;

template <class Block>
Block block_for(const char *task) {
    Block block = {};
    block.head.length = sizeof block;
    memcpy(block.head.task, task, 8);
    return block;
}

// receive: waits for and takes one message of the task, as an exit's queue thread does.
void *receive(const char *task, VULC_HANDLE handle, uint32_t *len) {
    auto block = block_for<VULC_RCVDATA>(task);
    void *buffer = nullptr;
    block.receive_handle = block.wait_handle = handle;
    block.length_out = len;
    block.buffer_out = &buffer;
    VULC_SOCWAIT wait = {sizeof wait, 0, -1, handle, 0};
    for (;;) {
        vulcsocwait(&wait);
        uint32_t rc = vulcrcvdata(&block);
        if (rc == VULC_OK) return buffer;
        if (rc != VULC_NO_DATA) return nullptr;
    }
}

void release(const char *task, void *buffer) {
    auto block = block_for<VULC_FREEMEM>(task);
    block.buffer = buffer;
    vulcfreemem(&block);
}

uint32_t send(const char *task, const char *dest, const char *node, void *buffer, uint32_t len) {
    auto block = block_for<VULC_SNDDATA>(task);
    memcpy(block.dest_app, dest, 8);
    memcpy(block.dest_node, node, 24);
    block.send_length = len;
    block.buffer = buffer;
    return vulcsnddata(&block);
}

constexpr char SERVER[] = "BSERVER ";
constexpr char CLIENT[] = "BCLIENT ";
constexpr uint32_t REQUEST = BASELINE_REQUEST;
constexpr uint32_t REPLY = BASELINE_REPLY;

int serve() {
    auto start = block_for<VULC_STRTCOM>(SERVER);
    if (vulcstrtcom(&start) != VULC_OK) return 1;
    HandOff handoff;
    std::thread worker([&] {
        for (;;) {
            auto *msg = static_cast<char *>(handoff.take());
            memset(msg + VULC_HEADER_LENGTH, 'r', REPLY - VULC_HEADER_LENGTH);
            send(SERVER, msg + VULC_HDR_ORIGIN_NAME, msg + VULC_HDR_ORIGIN_NODE, msg, REPLY);
            release(SERVER, msg);
        }
    });
    for (;;) {
        uint32_t len = 0;
        void *msg = receive(SERVER, start.receive_handle, &len);
        if (msg != nullptr) handoff.put(msg);
    }
}

class ServiceRoundTrip {
  public:
    ServiceRoundTrip() : server_(serve) {
        auto start = block_for<VULC_STRTCOM>(CLIENT);
        ok_ = vulcstrtcom(&start) == VULC_OK;
        handle_ = start.receive_handle;
        auto check = block_for<VULC_CHECKTASK>(CLIENT);
        vulcchecktask(&check);
        memcpy(node_, check.node, 24);
        // The server may still be starting its task.
        auto server = block_for<VULC_CHECKTASK>(SERVER);
        for (int i = 0; i < 5000 && vulcchecktask(&server) != VULC_OK; ++i) usleep(1000);
    }

    bool round_trip() {
        auto alloc = block_for<VULC_ALCMEM>(CLIENT);
        alloc.size = REQUEST;
        if (!ok_ || vulcalcmem(&alloc) != VULC_OK) return false;
        memset(static_cast<char *>(alloc.buffer) + VULC_HEADER_LENGTH, 'q',
               REQUEST - VULC_HEADER_LENGTH);
        uint32_t rc = send(CLIENT, SERVER, node_, alloc.buffer, REQUEST);
        release(CLIENT, alloc.buffer);
        uint32_t len = 0;
        void *reply = rc == VULC_OK ? receive(CLIENT, handle_, &len) : nullptr;
        if (reply != nullptr) release(CLIENT, reply);
        return reply != nullptr && len == REPLY;
    }

  private:
    ChildProcess server_;
    bool ok_ = false;
    VULC_HANDLE handle_ = 0;
    char node_[24];
};

}  // namespace

int main() {
    std::string node = "BENCH" + std::to_string(getpid());
    setenv("KAVI_NODE", node.c_str(), 1);
    Baseline raw;
    ServiceRoundTrip service;
    std::vector<double> a, b;
    if (!measure(raw, WARM_UP, nullptr) || !measure(service, WARM_UP, nullptr)) {
        std::fprintf(stderr, "transport_bench: a round trip failed during warm-up\n");
        return 1;
    }
    for (int round = 0; round < ROUNDS; ++round) {
        if (!measure(raw, PER_ROUND, &a) || !measure(service, PER_ROUND, &b)) {
            std::fprintf(stderr, "transport_bench: a round trip failed\n");
            return 1;
        }
    }
    Summary sa = summarize(a), sb = summarize(b);
    std::printf("round trip, %zu-byte request, %zu-byte reply, server hands off to a worker\n",
                BASELINE_REQUEST, BASELINE_REPLY);
    std::printf("%-34s %10s %10s %8s\n", "", "median us", "p99 us", "n");
    print_row("(a) raw datagrams (baseline B)", sa);
    print_row("(b) kavcacm calls", sb);
    print_ratio("ratio (b)/(a)  [target <= 1.1]", sb, sa);
    return 0;
}
