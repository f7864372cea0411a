// bench_util.cpp — percentiles, the result table, child processes and the hand-off.
#include "bench/bench_util.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kavibench {

Summary summarize(std::vector<double> samples_us) {
    if (samples_us.empty()) return {0, 0, 0};
    std::sort(samples_us.begin(), samples_us.end());
    size_t n = samples_us.size();
    size_t p99 = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1;
    return {samples_us[n / 2], samples_us[p99], n};
}

void print_comparison(const std::string &b_name, const std::string &ratio_name, const Summary &a,
                      const Summary &b) {
    std::printf("%-34s %10s %10s %8s\n", "", "median us", "p99 us", "n");
    for (const auto &[name, s] :
         {std::pair{std::string("(a) raw datagrams (baseline B)"), a}, std::pair{b_name, b}})
        std::printf("%-34s %10.1f %10.1f %8zu\n", name.c_str(), s.median_us, s.p99_us, s.count);
    std::printf("%-34s %10.3f %10.3f\n", ratio_name.c_str(), b.median_us / a.median_us,
                b.p99_us / a.p99_us);
}

void use_own_node() {
    std::string node = "BENCH" + std::to_string(getpid());
    setenv("KAVI_NODE", node.c_str(), 1);
}

long rss_bytes(int pid) {
    std::string path = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/statm";
    FILE *statm = std::fopen(path.c_str(), "r");
    if (statm == nullptr) return 0;
    long size = 0, resident = 0;
    int read = std::fscanf(statm, "%ld %ld", &size, &resident);
    std::fclose(statm);
    return read == 2 ? resident * sysconf(_SC_PAGESIZE) : 0;
}

double now_us() {
    auto t = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::micro>(t).count();
}

ChildProcess::ChildProcess(const std::function<int()> &fn) : pid_(fork()) {
    if (pid_ == 0) _exit(fn());
}

ChildProcess::~ChildProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

void HandOff::put(void *item) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        items_.push_back(item);
    }
    ready_.notify_one();
}

void *HandOff::take() {
    std::unique_lock<std::mutex> hold(lock_);
    ready_.wait(hold, [this] { return !items_.empty(); });
    void *item = items_.front();
    items_.pop_front();
    return item;
}

}  // namespace kavibench
