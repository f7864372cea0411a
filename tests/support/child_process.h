// child_process.h — real processes for tests: run a function in a child process or start a
// program, wait for it with a deadline, kill it; and small helpers for files and polling. One
// interface, with a POSIX side and a Windows side.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kavitest {

class Child {
  public:
    // fork_run: fn in a child process, whose exit code is fn's result. POSIX forks: start no
    // threads of your own before it, only the forking thread exists in the child. Windows runs
    // this test binary again for the running test alone, where the same call runs fn: what the
    // test did before the call is done again in the child, so it must not depend on the parent.
    static Child fork_run(const std::function<int()> &fn);
    // spawn: the program argv[0] with the test's environment, where the "NAME=value" entries
    // of `env` add or replace variables; standard output to `stdout_path` when not empty.
    static Child spawn(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {},
                       const std::string &stdout_path = "");
    Child() = default;
    Child(Child &&other) noexcept : pid_(other.pid_), handle_(other.handle_) { other.pid_ = 0; }
    Child &operator=(Child &&other) noexcept;
    ~Child() { wait(0); }  // kills and reaps a child still running
    // wait: the exit code (POSIX: 128 + signal number when killed by a signal), or -1 when the
    // child did not end within timeout_ms (it is then killed and reaped).
    int wait(int timeout_ms);
    void kill(int sig);  // Windows: ends the child, whatever sig
    uint32_t pid() const { return pid_; }

  private:
    Child(uint32_t pid, intptr_t handle) : pid_(pid), handle_(handle) {}
    uint32_t pid_ = 0;     // 0 when there is no child
    intptr_t handle_ = 0;  // Windows: the process handle
};

// fork_run_child: whether this process is one that fork_run started to run a test again
// (Windows); a forked child (POSIX) never starts anew.
bool fork_run_child();
// fork_run_forks: whether fork_run's child starts where the call is (POSIX), rather than rerunning
// the test from its start (Windows), where a test's second child would redo the first's steps.
bool fork_run_forks();
// under_wine: whether this is a Windows program run by wine, which emulates the system and in
// places falls short of it; POSIX: false.
bool under_wine();
// stderr_to_file: from now on this process's standard error goes into the file, emptied first.
bool stderr_to_file(const std::string &path);
// full_device: a file whose every write fails for want of space; "" where the system has none.
std::string full_device();
// posix_files: whether files carry POSIX permission bits and may be symbolic links.
bool posix_files();
std::string executable_dir();  // of the running test, where the helper programs are built
std::string make_temp_dir();   // fresh and empty, removed by nobody
// test_temp_dir: a fresh folder made at the running test's first call; its later calls, and
// those of the children fork_run starts for it, give the same folder.
std::string test_temp_dir();
std::string read_file(const std::string &path);  // empty when it cannot be read
// eventually: polls cond every millisecond until it holds or timeout_ms passes; its last value.
bool eventually(const std::function<bool()> &cond, int timeout_ms);
// file_shows: whether the file holds `text` within timeout_ms: a child process's output, say.
bool file_shows(const std::string &path, const std::string &text, int timeout_ms);

}  // namespace kavitest
