// child_process.cpp — fork/exec helpers with deadlines for tests that need real processes.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string_view>
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
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // An entry of `env` replaces the variable of the same name: getenv would find the first.
    auto overridden = [&](const char *entry) {
        std::string_view e(entry);
        for (const auto &o : env) {
            size_t eq = o.find('=');
            if (eq != std::string::npos && e.size() > eq &&
                e.substr(0, eq + 1) == o.substr(0, eq + 1))
                return true;
        }
        return false;
    };
    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e)
        if (!overridden(*e)) env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<char *> envp;
    for (auto &e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!stdout_path.empty()) {
            int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) dup2(fd, 1);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return Child(pid);
}

Child::Child(Child &&other) noexcept : pid_(other.pid_) {
    other.pid_ = -1;
}

Child &Child::operator=(Child &&other) noexcept {
    if (this != &other) {
        if (pid_ > 0) wait(0);
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

Child::~Child() {
    if (pid_ > 0) wait(0);
}

int Child::wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0) {
            pid_ = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void Child::kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

std::string executable_dir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string s(path);
    return s.substr(0, s.rfind('/'));
}

std::string make_temp_dir() {
    char templ[] = "/tmp/kavitest.XXXXXX";
    const char *dir = mkdtemp(templ);
    return dir != nullptr ? dir : "/tmp";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
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
