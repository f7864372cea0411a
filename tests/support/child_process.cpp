// child_process.cpp — the helpers for files and polling, and what a Child does alike, on every
// system.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/platform.h"

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

// The folder is named in the environment together with its test: a child that runs the test
// again inherits it, another test of the same process makes its own.
std::string test_temp_dir() {
    constexpr char VARIABLE[] = "KAVI_TEST_DIR";
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string owner = std::string(test->test_suite_name()) + "." + test->name() + "=";
    std::string value;
    if (plat::env_get(VARIABLE, &value) && value.starts_with(owner))
        return value.substr(owner.size());
    std::string dir = make_temp_dir();
    plat::env_set(VARIABLE, (owner + dir).c_str());
    return dir;
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
