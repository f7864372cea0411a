// command_bench.cpp — a command's round trip through the exit library against the raw baseline B,
// measured in one run: (a) B itself; (b) a client task sends an ~800-byte command to an exit in
// run mode 0 in another process (queue thread, dispatcher, exit function, full reply) and takes
// its ~500-byte reply. Rounds alternate so that load from elsewhere falls on both alike.

#include <cstdio>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "bench/command_client.h"

using namespace kavibench;

namespace {

constexpr Rounds ROUNDS = {300, 10, 1000};

double per_second(const std::vector<double> &samples_us) {
    double total = 0;
    for (double s : samples_us) total += s;
    return total > 0 ? samples_us.size() * 1e6 / total : 0;
}

}  // namespace

int main() {
    use_own_node();
    // The exit's process is forked first, while this process has no threads of its own.
    ChildProcess exit([] { return serve_exits({"BEXIT"}, 0); });
    CommandClient command("BCLIENT", "BEXIT");
    Baseline raw;
    std::vector<double> a, b;
    if (!compare("command_bench", ROUNDS, raw, command, &a, &b)) return 1;
    Summary sa = summarize(a), sb = summarize(b);
    std::printf(
        "command round trip: %zu-byte command, %u-byte reply, exit in run mode 0;\n"
        "baseline B: %zu-byte request, %zu-byte reply\n",
        command.command_size(), command.reply_size(), BASELINE_REQUEST, BASELINE_REPLY);
    print_comparison("(b) command through an exit", "ratio (b)/(a)", sa, sb);
    std::printf("round trips/s: (a) %.0f  (b) %.0f  ratio (b)/(a) %.2f\n", per_second(a),
                per_second(b), per_second(a) > 0 ? per_second(b) / per_second(a) : 0);
    return 0;
}
