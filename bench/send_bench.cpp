// send_bench.cpp — the exit-to-exit round trip against the raw baseline B, measured in one run:
// (a) B itself; (b) KaviSend from an exit of this process to an exit in another process, which
// answers from its dispatcher thread (run mode 0). The command carries a text that makes it as
// long as B's request; rounds alternate so that load from elsewhere falls on both alike.

#include <cstdio>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "bench/send_client.h"

using namespace kavibench;

namespace {

constexpr Rounds ROUNDS = {500, 10, 2000};

}  // namespace

int main() {
    use_own_node();
    // Both children are forked before the calling exit gives this process threads.
    ChildProcess target(serve_send_target);
    Baseline raw;
    SendClient send;
    std::vector<double> a, b;
    if (!compare("send_bench", ROUNDS, raw, send, &a, &b)) return 1;
    Summary sa = summarize(a), sb = summarize(b);
    std::printf(
        "round trip, %zu-byte request; B's reply %zu bytes, KaviSend's answer is the\n"
        "block sent back with its fields and a status element\n",
        BASELINE_REQUEST, BASELINE_REPLY);
    print_comparison("(b) KaviSend exit to exit", "ratio (b)/(a)", sa, sb);
    return 0;
}
