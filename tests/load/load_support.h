// load_support.h — what the load and fault tests share: the load_exit program started as a real
// process, a server that numbers its commands and counts the answers to each, and counts of the
// test process's descriptors, threads and memory from /proc.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace load {

// The status load_exit answers command number n with.
inline int exit_status(uint16_t n) {
    return 0x1000 + n;
}

// A command's number travels as the correlation's `numb`, the high half of its 32-bit value.
inline uint32_t correlation_for(uint16_t n) {
    return uint32_t{n} << 16;
}

// The load_exit program as a child process, once it has registered.
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
    // registered: whether the program got its exit registered within 10 s.
    bool registered() {
        return kavitest::eventually(
            [&] { return output().find("registered") != std::string::npos; }, 10000);
    }
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

    // collect: receives until `expected` answers came or timeout_ms passed, then for quiet_ms
    // more, so that a second answer to a command shows. Statuses in arrival order by number.
    std::map<uint16_t, std::vector<int>> collect(size_t expected, int timeout_ms,
                                                 int quiet_ms = 200) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t answers = 0;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            int wait = answers < expected ? static_cast<int>(left) : quiet_ms;
            if (wait <= 0) break;
            std::vector<uint8_t> reply = tool_.receive(wait);
            if (reply.empty()) break;
            uint32_t correlation = 0;
            int status = lifecycle::reply_status(reply, &correlation);
            auto n = static_cast<uint16_t>(correlation >> 16);
            answers_[n].push_back(status);
            order_.push_back(n);
            ++answers;
        }
        return answers_;
    }
    // order: the numbers of the answers in the order they arrived.
    const std::vector<uint16_t> &order() const { return order_; }

  private:
    lifecycle::Tool tool_;
    std::map<uint16_t, std::vector<int>> answers_;
    std::vector<uint16_t> order_;
};

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
