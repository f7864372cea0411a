// child_process_posix.cpp — the POSIX side of the test processes: fork, exec, waitpid, kill.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/child_process.h"

extern char **environ;

namespace kavitest {

Child Child::fork_run(const std::function<int()> &fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    return Child(pid > 0 ? static_cast<uint32_t>(pid) : 0, 0);
}

Child Child::spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &stdout_path) {
    std::vector<char *> args, envp;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    // An entry of `env` replaces the variable of the same name: getenv would find the first.
    for (char **e = environ; *e != nullptr; ++e) {
        bool overridden = false;
        for (const auto &o : env)
            overridden |= o.find('=') != std::string::npos &&
                          std::string(*e).compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
        if (!overridden) envp.push_back(*e);
    }
    for (const auto &o : env) envp.push_back(const_cast<char *>(o.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!stdout_path.empty())
            dup2(open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return Child(pid > 0 ? static_cast<uint32_t>(pid) : 0, 0);
}

int Child::wait(int timeout_ms) {
    if (pid_ == 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    pid_t r;
    const auto pid = static_cast<pid_t>(pid_);
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (r == 0) {  // still running at the deadline
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pid_ = 0;
    if (r <= 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

void Child::kill(int sig) {
    if (pid_ != 0) ::kill(static_cast<pid_t>(pid_), sig);
}

std::string executable_dir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

bool fork_run_child() {
    return false;
}

bool fork_run_forks() {
    return true;
}

bool under_wine() {
    return false;
}

bool stderr_to_file(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool moved = dup2(fd, STDERR_FILENO) >= 0;
    close(fd);
    return moved;
}

std::string full_device() {
    return "/dev/full";
}

bool posix_files() {
    return true;
}

std::string make_temp_dir() {
    char templ[] = "/tmp/kavitest.XXXXXX";
    const char *dir = mkdtemp(templ);
    return dir != nullptr ? dir : "/tmp";
}

}  // namespace kavitest
