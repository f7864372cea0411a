// child_process.cpp — fork/exec helpers with deadlines for tests that need real processes.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace kavitest {

Child Child::fork_run(const std::function<int()> &fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    return Child(pid);
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
    return Child(pid);
}

Child &Child::operator=(Child &&other) noexcept {
    if (this != &other) {
        wait(0);
        std::swap(pid_, other.pid_);
    }
    return *this;
}

int Child::wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (r == 0) {  // still running at the deadline
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (r <= 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

void Child::kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

std::string executable_dir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::string make_temp_dir() {
    char templ[] = "/tmp/kavitest.XXXXXX";
    const char *dir = mkdtemp(templ);
    return dir != nullptr ? dir : "/tmp";
}

std::string read_file(const std::string &path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

bool eventually(const std::function<bool()> &cond, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool file_shows(const std::string &path, const std::string &text, int timeout_ms) {
    return eventually([&] { return read_file(path).find(text) != std::string::npos; }, timeout_ms);
}

}  // namespace kavitest
