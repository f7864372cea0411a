// load_support.h — what the load tests share: the load_exit program as a real process, a server
// that numbers its commands and counts the answers to each, an exit terminated and registered
// again in a loop, the stress traffic, and the test process's descriptors, threads and memory.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace load {

// The status an exit here answers command number n with; the number travels as the
// correlation's `numb`, the high half of its 32-bit value.
inline int exit_status(uint16_t n) {
    return 0x1000 + n;
}
inline uint32_t correlation_for(uint16_t n) {
    return uint32_t{n} << 16;
}
inline uint32_t KAVI_CALL numbered(_VULE_PARAMETERS32 *block) {
    block->resource_type = block->correlation_id.numb;
    return static_cast<uint32_t>(exit_status(block->correlation_id.numb));
}

// The load_exit program as a child process; its output and error log lie in `dir`.
class ExitProgram {
  public:
    ExitProgram(const std::string &dir, const std::vector<std::string> &args,
                const std::vector<std::string> &env = {})
        : out_(dir + "/" + args[0] + ".out"), log_(dir + "/" + args[0] + ".log") {
        std::vector<std::string> argv = {kavitest::executable_dir() + "/load_exit"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> all = {"KAVZ_ERRLOG=" + log_};
        all.insert(all.end(), env.begin(), env.end());
        child_ = kavitest::Child::spawn(argv, all, out_);
    }
    // shows: whether the program's output holds `text` within 10 s ("registered" once it has).
    bool shows(const std::string &text) { return kavitest::file_shows(out_, text, 10000); }
    bool registered() { return shows("registered"); }
    std::string output() const { return kavitest::read_file(out_); }
    std::string error_log() const { return kavitest::read_file(log_); }
    kavitest::Child &child() { return child_; }
    // stop: SIGTERM ends the program's wait; it terminates its exit and returns 0 when that and
    // (under AddressSanitizer) the leak check at its end succeeded.
    int stop(int timeout_ms = 20000) {
        child_.kill(SIGTERM);
        return child_.wait(timeout_ms);
    }

  private:
    std::string out_;
    std::string log_;
    kavitest::Child child_;
};

// A server: sends numbered commands to an exit through a tool task and counts the answers.
class Server {
  public:
    explicit Server(const std::string &name = "LSERVER") : tool_(name) {
        // The tool addresses the local node by the address the library learnt at registration,
        // which a process without exits has not learnt yet.
        VULC_CHECKTASK check{};
        check.head.length = sizeof check;
        memcpy(check.head.task, lifecycle::pad(name).data(), 8);
        EXPECT_EQ(vulcchecktask(&check), VULC_OK);
        memcpy(kavi::local_node_address, check.node, 24);
    }

    uint32_t send(const std::string &exit, uint16_t n, const std::string &command = "LOAD",
                  const std::string &text = "") {
        std::vector<uint8_t> elements;
        lifecycle::add_block(&elements, correlation_for(n), exit);
        lifecycle::add_text(&elements, 2, command);
        if (!text.empty()) lifecycle::add_text(&elements, 3, text);
        return tool_.send(exit, elements);
    }

    // next: the next answer's number and status, false when none comes within timeout_ms.
    bool next(int timeout_ms, uint16_t *n, int *status) {
        std::vector<uint8_t> reply = tool_.receive(timeout_ms);
        uint32_t correlation = 0;
        *status = lifecycle::reply_status(reply, &correlation);
        *n = static_cast<uint16_t>(correlation >> 16);
        return !reply.empty();
    }

    // collect: receives until `expected` answers came or timeout_ms passed, then for quiet_ms
    // more, so that a second answer to a command shows. Statuses in arrival order by number.
    std::map<uint16_t, std::vector<int>> collect(size_t expected, int timeout_ms,
                                                 int quiet_ms = 200) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (size_t answers = 0;; ++answers) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            int wait = answers < expected ? static_cast<int>(left) : quiet_ms;
            uint16_t n = 0;
            int status = 0;
            if (wait <= 0 || !next(wait, &n, &status)) break;
            answers_[n].push_back(status);
            order_.push_back(n);
        }
        return answers_;
    }
    const std::map<uint16_t, std::vector<int>> &answers() const { return answers_; }
    // order: the numbers of the answers in the order they arrived.
    const std::vector<uint16_t> &order() const { return order_; }

  private:
    lifecycle::Tool tool_;
    std::map<uint16_t, std::vector<int>> answers_;
    std::vector<uint16_t> order_;
};

// Cycler: a thread that terminates the exit and registers it again until destroyed, pausing
// pause_ms between cycles so that the exit serves a while.
class Cycler {
  public:
    Cycler(const char *exit, VULE_EXIT_FUNCTION function, uint32_t run_mode, uint32_t pause_ms)
        : thread_([=, this] {
              while (!stop_) {
                  if (KaviTerminate(exit) != VULE_OK) ++failures;
                  if (KaviInit(exit, function, run_mode) != VULE_OK) ++failures;
                  ++cycles;
                  if (pause_ms != 0) plat::sleep_ms(pause_ms);
              }
          }) {}
    ~Cycler() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::atomic<int> cycles{0};
    std::atomic<int> failures{0};

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// --- the stress traffic, run alike by the stress test and by load_exit --stress ---

constexpr int STRESS_THREADS = 8;

// A stress command carries its number as its command name; the answer carries it back in
// resource_type and, cut to 12 bits, in its status.
inline uint32_t stress_status(uint32_t n) {
    return 0x1000u + (n & 0xFFFu);
}
inline uint32_t KAVI_CALL stress_answer(_VULE_PARAMETERS32 *b) {
    uint32_t n = b->command_name != nullptr ? strtoul(b->command_name, nullptr, 10) : 0;
    b->resource_type = n;
    return stress_status(n);
}

struct Tally {
    std::atomic<long> calls{0};
    std::atomic<long> answered{0};
    std::atomic<long> ended{0};
    std::atomic<long> wrong{0};
    std::atomic<int> running{0};
};

// stress_traffic: STRESS_THREADS threads, each calling from the callers (padded names) in turn
// to the targets in turn, all under one correlation, until `stop`. A call may end with 0x8001
// (its target is missing or ended), or with 4 or 5 when its own exit is one of `cycled`; an
// answer must be its own command's.
inline std::vector<std::thread> stress_traffic(const std::vector<std::string> &callers,
                                               const std::vector<std::string> &targets,
                                               const std::set<std::string> &cycled,
                                               const std::atomic<bool> &stop, Tally *tally) {
    std::vector<std::thread> threads;
    for (int t = 0; t < STRESS_THREADS; ++t) {
        ++tally->running;
        threads.emplace_back([=, &stop] {
            for (uint32_t i = 0; !stop; ++i) {
                const std::string &caller = callers[(i + t) % callers.size()];
                const std::string &target = targets[(i / callers.size() + t) % targets.size()];
                uint32_t n = static_cast<uint32_t>(t) << 20 | (i & 0xFFFFF);
                char command[16];
                snprintf(command, sizeof command, "%u", n);
                _VULE_PARAMETERS32 block{};
                block.command_name = command;
                uint32_t rc = KaviSend(caller.c_str(), target.c_str(), " ", &block);
                ++tally->calls;
                bool own_exit_gone = cycled.count(caller) != 0 &&
                                     (rc == VULE_NOT_REGISTERED || rc == VULE_TERMINATING);
                if (rc == stress_status(n) && block.resource_type == n) {
                    ++tally->answered;
                } else if (rc == VULE_EXIT_ENDED || own_exit_gone) {
                    ++tally->ended;
                } else if (tally->wrong++ < 10) {
                    printf("call %u %s to %s: status %u resource_type %u\n", n, caller.c_str(),
                           target.c_str(), rc, block.resource_type);
                    fflush(stdout);
                }
            }
            --tally->running;
        });
    }
    return threads;
}

// --- the test process as /proc shows it ---

inline size_t count_entries(const char *dir) {
    size_t n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

inline size_t open_descriptors() {
    return count_entries("/proc/self/fd") - 1;  // less the one that lists them
}

inline size_t threads() {
    return count_entries("/proc/self/task");
}

inline long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Under sanitizers memory figures mean little: freed memory waits in quarantine, shadow grows.
constexpr bool SANITIZED =
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace load
