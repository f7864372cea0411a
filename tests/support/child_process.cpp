// child_process.cpp — the helpers for files and polling, and what a Child does alike, on every
// system.
#include "tests/support/child_process.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace kavitest {

// The child this one held is ended first: no child outlives the handle that could wait for it.
Child &Child::operator=(Child &&other) noexcept {
    if (this != &other) {
        wait(0);
        std::swap(pid_, other.pid_);
        std::swap(handle_, other.handle_);
    }
    return *this;
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
