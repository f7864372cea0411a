// send_bench.cpp — the exit-to-exit round trip against the raw baseline B, measured in one run:
// (a) B itself; (b) KaviSend from an exit of this process to an exit in another process, which
// answers from its dispatcher thread (run mode 0). The command carries a text that makes it as
// long as B's request; rounds alternate so that load from elsewhere falls on both alike.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "kaviexit.h"

using namespace kavibench;

namespace {

constexpr int ROUNDS = 10;
constexpr int PER_ROUND = 2000;
constexpr int WARM_UP = 500;

// 460 bytes of header and block element, a text element of 4 + 324, the 12-byte end element.
constexpr size_t TEXT_LENGTH = 323;
static_assert(460 + 4 + (TEXT_LENGTH + 1) + 12 == BASELINE_REQUEST);

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *block) {
    block->resource_type += 1;
    return 0;
}

int serve() {
    if (KaviInit("BTARGET", answer, 0) != VULE_OK) return 1;
    KaviWait("BTARGET", -1);
    return 0;
}

class SendRoundTrip {
  public:
    SendRoundTrip() : target_(serve), text_(TEXT_LENGTH, 'q') {
        ok_ = KaviInit("BCALLER", answer, 0) == VULE_OK;
        block_.command_string = text_.data();
        // The target may still be registering: until then the call does not wait.
        for (int i = 0; ok_ && i < 5000 && !round_trip(); ++i) usleep(1000);
    }

    bool round_trip() {
        uint32_t before = block_.resource_type;
        uint32_t rc = KaviSend("BCALLER ", "BTARGET", " ", &block_);
        return ok_ && rc == VULE_OK && block_.resource_type == before + 1;
    }

  private:
    ChildProcess target_;
    std::string text_;
    _VULE_PARAMETERS32 block_{};
    bool ok_ = false;
};

template <class RoundTrip>
bool measure(RoundTrip &rt, int count, std::vector<double> *samples) {
    for (int i = 0; i < count; ++i) {
        double begin = now_us();
        if (!rt.round_trip()) return false;
        if (samples != nullptr) samples->push_back(now_us() - begin);
    }
    return true;
}

}  // namespace

int main() {
    std::string node = "BENCH" + std::to_string(getpid());
    setenv("KAVI_NODE", node.c_str(), 1);
    Baseline raw;
    SendRoundTrip send;
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
