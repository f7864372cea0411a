// bench_all.cpp — every latency and throughput figure of the exit library in one run and one
// table, each against the raw baseline B measured in the same rounds: the command round trip
// (run mode 0), a single command to a run-mode-1 exit (also against B', which starts a thread per
// request as such an exit does), the exit-to-exit round trip (KaviSend), the throughput of
// commands with several in flight, ZeroMQ and D-Bus doing B's round trip, and the scale row.
// Rounds interleave them so that load from elsewhere on the machine falls on each alike.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "bench/command_client.h"
#include "bench/peer.h"
#include "bench/scale_row.h"
#include "bench/send_client.h"

using namespace kavibench;

namespace {

// Short rounds: the machine's state (its load, its cores' sleep) changes within a second, and
// each change should fall on every figure alike.
constexpr int ROUNDS = 200;
constexpr int PER_ROUND = 50;
constexpr int WARM_UP = 300;
constexpr int IN_FLIGHT = 8;  // below the 11 datagrams a socket queues
constexpr int PIPELINED_PER_ROUND = 100;
// A run-mode-1 exit's queue thread pauses 500 ms after each thread it starts, so each exit gets
// one command in every SINGLE_SPACING_US: every sample is the single command of an idle exit.
constexpr int SINGLE_EXITS = 12;
constexpr int SINGLES = 60;
constexpr double SINGLE_SPACING_US = 600e3;
// B' is sampled between them, after the same pause as they are.
constexpr useconds_t PRIME_PAUSE_US = SINGLE_SPACING_US / SINGLE_EXITS / 2;

// A few exits, each with a client task of its own, commanded in turn.
class SingleCommands {
  public:
    explicit SingleCommands(const std::vector<std::string> &exits) {
        for (size_t i = 0; i < exits.size(); ++i) {
            clients_.push_back(
                std::make_unique<CommandClient>("BCL1" + std::to_string(i), exits[i]));
            last_us_.push_back(0);
        }
    }

    // sample: one command to the next exit, once it is idle.
    bool sample(std::vector<double> *samples) {
        size_t i = next_++ % clients_.size();
        double idle_in = last_us_[i] + SINGLE_SPACING_US - now_us();
        if (idle_in > 0) usleep(static_cast<useconds_t>(idle_in));
        double begin = now_us();
        bool ok = clients_[i]->round_trip();
        last_us_[i] = now_us();
        samples->push_back(last_us_[i] - begin);
        return ok;
    }

  private:
    std::vector<std::unique_ptr<CommandClient>> clients_;
    std::vector<double> last_us_;
    size_t next_ = 0;
};

// Round trips with `window` requests in flight: the time taken for `count` is added to *us.
template <class Pipe>
bool pipelined(Pipe &pipe, int count, int window, double *us) {
    double begin = now_us();
    int sent = 0;
    for (; sent < window && sent < count; ++sent)
        if (!pipe.send()) return false;
    for (int got = 0; got < count; ++got) {
        if (!pipe.receive()) return false;
        if (sent == count) continue;
        if (!pipe.send()) return false;
        ++sent;
    }
    *us += now_us() - begin;
    return true;
}

double per_second(const std::vector<double> &samples_us) {
    double total = 0;
    for (double s : samples_us) total += s;
    return total > 0 ? samples_us.size() * 1e6 / total : 0;
}

struct Row {
    const char *name;
    Summary s;
    double ops;
};

void print_header() {
    std::printf("%-34s %9s %9s %9s %7s %7s %7s  %s\n", "", "median us", "p99 us", "ops/s", "xB med",
                "xB p99", "xB ops", "target");
}

// print: a latency row with its ratios to B's and whether it meets its targets (a limit of 0:
// none).
void print(const Row &r, const Row &b, double median_limit, double p99_limit) {
    double median = r.s.median_us / b.s.median_us, p99 = r.s.p99_us / b.s.p99_us;
    std::string target;
    if (median_limit > 0) {
        char text[64];
        std::snprintf(text, sizeof text, "med <= %.3g", median_limit);
        target = text;
        if (p99_limit > 0) {
            std::snprintf(text, sizeof text, ", p99 <= %.3g", p99_limit);
            target += text;
        }
        bool met = median <= median_limit && (p99_limit == 0 || p99 <= p99_limit);
        target += met ? ": met" : ": MISSED";
    }
    std::printf("%-34s %9.1f %9.1f %9.0f %7.2f %7.2f %7.2f  %s\n", r.name, r.s.median_us,
                r.s.p99_us, r.ops, median, p99, r.ops / b.ops, target.c_str());
}

void print_throughput(const char *name, double ops, double b_ops, double limit) {
    std::string target;
    if (limit > 0) {
        char text[64];
        std::snprintf(text, sizeof text, "ops >= %.3g: %s", limit,
                      ops / b_ops >= limit ? "met" : "MISSED");
        target = text;
    }
    std::printf("%-34s %9s %9s %9.0f %7s %7s %7.2f  %s\n", name, "-", "-", ops, "", "", ops / b_ops,
                target.c_str());
}

// A row of another messaging system, or why it is missing.
struct PeerRow {
    const char *name;
    std::string missing;
    std::unique_ptr<PeerRoundTrip> peer;
    std::vector<double> samples;
};

bool measure_peers(std::vector<PeerRow> *peers, int count) {
    for (PeerRow &p : *peers)
        if (p.peer != nullptr && !measure(*p.peer, count, &p.samples)) return false;
    return true;
}

void print_scale(const ScaleFigures &f) {
    Row pairs{"16 B pairs in parallel", f.pairs, f.pairs_ops};
    print(pairs, pairs, 0, 0);
    print({"64 exits, 16 clients in parallel", f.exits, f.exits_ops}, pairs, 0, 0);
    std::printf("%-34s %.1f KiB per registered exit, %.1f KiB per command in flight\n",
                "  resident memory of the exits", f.bytes_per_exit / 1024,
                f.bytes_per_command / 1024);
}

}  // namespace

int main() {
    use_own_node();
    std::vector<std::string> single_exits;
    for (int i = 0; i < SINGLE_EXITS; ++i) single_exits.push_back("BONE" + std::to_string(i));
    // Every child is forked while this process has no threads; the calling exit comes last.
    ChildProcess exit0([] { return serve_exits({"BEXIT"}, 0); });
    ChildProcess exits1([&single_exits] { return serve_exits(single_exits, 1); });
    ChildProcess target(serve_send_target);
    Baseline raw;
    Baseline prime(Replier::thread_per_request);
    ScaleRow scale;
    // The peers' clients come last of what forks: ZeroMQ's has threads.
    std::vector<PeerRow> peers(2);
    peers[0].name = "ZeroMQ REQ/REP over ipc://";
    peers[0].peer = zeromq_peer(&peers[0].missing);
    peers[1].name = "D-Bus call via dbus-daemon";
    peers[1].peer = dbus_peer(&peers[1].missing);
    CommandClient command("BCLIENT", "BEXIT");
    SingleCommands singles(single_exits);
    SendClient send;

    std::vector<double> b, c, one, s, one_b;
    double b_us = 0, c_us = 0, ignored = 0;
    bool ok = measure(raw, WARM_UP, nullptr) && measure(command, WARM_UP, nullptr) &&
              measure(send, WARM_UP, nullptr) && measure(prime, WARM_UP, nullptr) &&
              measure_peers(&peers, WARM_UP) &&
              pipelined(raw, PIPELINED_PER_ROUND, IN_FLIGHT, &ignored) &&
              pipelined(command, PIPELINED_PER_ROUND, IN_FLIGHT, &ignored);
    for (int round = 0; ok && round < ROUNDS; ++round) {
        ok = measure(raw, PER_ROUND, &b) && measure(command, PER_ROUND, &c) &&
             measure(send, PER_ROUND, &s) && measure_peers(&peers, PER_ROUND) &&
             pipelined(raw, PIPELINED_PER_ROUND, IN_FLIGHT, &b_us) &&
             pipelined(command, PIPELINED_PER_ROUND, IN_FLIGHT, &c_us);
    }
    // Apart from the rounds: the waits for an idle exit would leave the cores asleep for the
    // figure measured next.
    for (int i = 0; ok && i < SINGLES; ++i) {
        ok = singles.sample(&one);
        usleep(PRIME_PAUSE_US);
        ok = ok && measure(prime, 1, &one_b);
    }
    ScaleFigures scaled{};
    ok = ok && scale.run(&scaled);
    if (!ok) {
        std::fprintf(stderr, "bench_all: a round trip failed\n");
        return 1;
    }

    const double pipelined_count = double(ROUNDS) * PIPELINED_PER_ROUND;
    Row rb{"baseline B", summarize(b), per_second(b)};
    std::printf(
        "baseline B: raw datagrams between two processes, receive thread hands off to a worker;\n"
        "%zu-byte requests, %zu-byte replies (commands %zu bytes, replies %u); %d rounds.\n\n",
        BASELINE_REQUEST, BASELINE_REPLY, command.command_size(), command.reply_size(), ROUNDS);
    print_header();
    print(rb, rb, 0, 0);
    print({"command round trip, run mode 0", summarize(c), per_second(c)}, rb, 1.05, 1.2);
    print({"single command, run mode 1", summarize(one), per_second(one)}, rb, 0, 0);
    Row rb1{"  B' (thread per request), paced", summarize(one_b), per_second(one_b)};
    print(rb1, rb, 0, 0);
    print({"  single command, run mode 1 : B'", summarize(one), per_second(one)}, rb1, 1.1, 1.5);
    print({"exit to exit (KaviSend)", summarize(s), per_second(s)}, rb, 1.4, 0);
    double b_ops = pipelined_count * 1e6 / b_us;
    print_throughput("throughput B, 8 in flight", b_ops, b_ops, 0);
    print_throughput("throughput run mode 0, 8 in flight", pipelined_count * 1e6 / c_us, b_ops,
                     0.85);
    for (const PeerRow &p : peers) {
        if (p.peer == nullptr)
            std::printf("%-34s %s\n", p.name, p.missing.c_str());
        else
            print({p.name, summarize(p.samples), per_second(p.samples)}, rb, 0, 0);
    }
    print_scale(scaled);
    std::printf(
        "\nops/s of a latency row: one after the other. Run mode 1: %zu samples, each exit "
        "commanded\nonce in %.0f ms, as its queue thread pauses 500 ms after each thread start; "
        "B' sampled\nbetween them, %u ms after the last; the row \"run mode 1 : B'\" gives "
        "the ratios to B'.\nScale: ratios to the 16 B pairs; memory: the growth of the exits' "
        "process over registering\n63 exits after the first, and with 2 commands held in "
        "flight per exit.\n",
        one.size(), SINGLE_SPACING_US / 1000, PRIME_PAUSE_US / 1000);
    return 0;
}
