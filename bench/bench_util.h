// bench_util.h — what every benchmark shares: latency samples and their percentiles, the table
// they are printed in, a child process, and the receive-thread-to-worker hand-off that every
// server side of a round trip uses.
#pragma once

#include <condition_variable>
#include <cstdint>
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
// print_row: one row of the result table; print_ratio: the row (b)/(a) below two rows.
void print_row(const std::string &name, const Summary &s);
void print_ratio(const std::string &name, const Summary &b, const Summary &a);

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
