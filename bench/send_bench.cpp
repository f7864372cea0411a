// send_bench.cpp — the exit-to-exit round trip against the raw baseline B, measured in one run:
// (a) B itself; (b) KaviSend from an exit of this process to an exit in another process, which
// answers from its dispatcher thread (run mode 0). The command carries a text that makes it as
// long as B's request; rounds alternate so that load from elsewhere falls on both alike.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "bench/send_client.h"

using namespace kavibench;

namespace {

constexpr int ROUNDS = 10;
constexpr int PER_ROUND = 2000;
constexpr int WARM_UP = 500;

}  // namespace

int main() {
    std::string node = "BENCH" + std::to_string(getpid());
    setenv("KAVI_NODE", node.c_str(), 1);
    // Both children are forked before the calling exit gives this process threads.
    ChildProcess target(serve_send_target);
    Baseline raw;
    SendClient send;
    std::vector<double> a, b;
    if (!measure(raw, WARM_UP, nullptr) || !measure(send, WARM_UP, nullptr)) {
        std::fprintf(stderr, "send_bench: a round trip failed during warm-up\n");
        return 1;
    }
    for (int round = 0; round < ROUNDS; ++round) {
        if (!measure(raw, PER_ROUND, &a) || !measure(send, PER_ROUND, &b)) {
            std::fprintf(stderr, "send_bench: a round trip failed\n");
            return 1;
        }
    }
    Summary sa = summarize(a), sb = summarize(b);
    std::printf(
        "round trip, %zu-byte request; B's reply %zu bytes, KaviSend's answer is the\n"
        "block sent back with its fields and a status element\n",
        BASELINE_REQUEST, BASELINE_REPLY);
    std::printf("%-34s %10s %10s %8s\n", "", "median us", "p99 us", "n");
    print_row("(a) raw datagrams (baseline B)", sa);
    print_row("(b) KaviSend exit to exit", sb);
    print_ratio("ratio (b)/(a)", sb, sa);
    return 0;
}
