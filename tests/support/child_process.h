// child_process.h — real processes for tests: fork a function or exec a program, wait for it
// with a deadline, kill it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kavitest {

class Child {
  public:
    // fork_run: runs fn in a forked child, whose exit code is fn's result. Fork before the test
    // starts threads of its own: only the forking thread exists in the child.
    static Child fork_run(const std::function<int()> &fn);
    // spawn: runs a program (argv[0] is its path) with the test's environment, where the
    // "NAME=value" entries of `env` add or replace variables. Its standard output goes to
    // `stdout_path` when not empty.
    static Child spawn(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {},
                       const std::string &stdout_path = "");

    Child() = default;
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();  // kills and reaps a child still running

    // wait: the exit code (128 + signal number when killed by a signal), or -1 when the child
    // did not end within timeout_ms (it is then killed and reaped).
    int wait(int timeout_ms);
    void kill(int sig);
    pid_t pid() const { return pid_; }

  private:
    explicit Child(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
};

// Directory of the running test executable, where the helper programs are built.
std::string executable_dir();
// A fresh, empty temporary directory, removed by nobody: tests name files inside it.
std::string make_temp_dir();
// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);
// Polls cond every millisecond until it holds or timeout_ms passes; returns its last value.
bool eventually(const std::function<bool()> &cond, int timeout_ms);
// Whether the file holds `text` within timeout_ms: a child process's output, say.
bool file_shows(const std::string &path, const std::string &text, int timeout_ms);

}  // namespace kavitest
