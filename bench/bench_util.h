// bench_util.h — what every benchmark shares: latency samples and their percentiles, the table
// they are printed in, a child process, and the receive-thread-to-worker hand-off that every
// server side of a round trip uses.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kavibench {

struct Summary {
    double median_us;
    double p99_us;
    size_t count;
};

// summarize: median and 99th percentile of samples in microseconds.
Summary summarize(std::vector<double> samples_us);
// print_comparison: the result table: rows (a) for baseline B and (b) named `b_name`, then
// their ratio (b)/(a) named `ratio_name`.
void print_comparison(const std::string &b_name, const std::string &ratio_name, const Summary &a,
                      const Summary &b);

// use_own_node: this process and its children on a node of their own, away from other runs.
void use_own_node();

// rss_bytes: the resident memory of process pid (0: this one), or 0 when it cannot be read.
long rss_bytes(int pid = 0);

// now_us: a monotonic clock in microseconds.
double now_us();

// measure: count round trips of rt, each one's time appended to *samples unless it is null;
// false when one failed.
template <class RoundTrip>
bool measure(RoundTrip &rt, int count, std::vector<double> *samples) {
    for (int i = 0; i < count; ++i) {
        double begin = now_us();
        if (!rt.round_trip()) return false;
        if (samples != nullptr) samples->push_back(now_us() - begin);
    }
    return true;
}

// Rounds: how many round trips a comparison measures of each side.
struct Rounds {
    int warm_up;    // unmeasured, first
    int count;      // rounds
    int per_round;  // round trips of each side in a round
};

// compare: rounds of a, then b, alternating so that load from elsewhere on the machine falls on
// both alike; their times in *sa and *sb. False, said on standard error under `name`, when a
// round trip failed.
template <class A, class B>
bool compare(const char *name, const Rounds &r, A &a, B &b, std::vector<double> *sa,
             std::vector<double> *sb) {
    if (!measure(a, r.warm_up, nullptr) || !measure(b, r.warm_up, nullptr)) {
        std::fprintf(stderr, "%s: a round trip failed during warm-up\n", name);
        return false;
    }
    for (int round = 0; round < r.count; ++round) {
        if (!measure(a, r.per_round, sa) || !measure(b, r.per_round, sb)) {
            std::fprintf(stderr, "%s: a round trip failed\n", name);
            return false;
        }
    }
    return true;
}

// A forked child running fn until it returns or is killed; the destructor kills and reaps it.
class ChildProcess {
  public:
    explicit ChildProcess(const std::function<int()> &fn);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    int pid() const { return pid_; }

  private:
    int pid_;
};

// HandOff: the receive thread puts what arrived, the worker takes it, in order.
class HandOff {
  public:
    void put(void *item);
    void *take();

  private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<void *> items_;
};

}  // namespace kavibench
