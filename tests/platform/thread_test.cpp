// thread_test.cpp — thread start and end, exit handlers in a child process, and the numbers
// used in traces.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;

struct Started {
    std::promise<uint64_t> thread_id;
};

void report_id(void *arg) {
    static_cast<Started *>(arg)->thread_id.set_value(plat::thread_id());
}

TEST(Thread, StartRunsTheFunctionOnANewThread) {
    Started started;
    auto id = started.thread_id.get_future();
    ASSERT_EQ(plat::thread_start(report_id, &started, plat::THREAD_STACK_SIZE), plat::OK);
    ASSERT_EQ(id.wait_for(5s), std::future_status::ready);
    EXPECT_NE(id.get(), plat::thread_id());
    EXPECT_EQ(plat::process_id(), static_cast<uint32_t>(getpid()));
}

TEST(Thread, StartWithAnUnusableStackSizeFailsWithoutRunning) {
    std::atomic<bool> ran{false};
    auto set_ran = [](void *arg) { static_cast<std::atomic<bool> *>(arg)->store(true); };
    EXPECT_EQ(plat::thread_start(set_ran, &ran, 1), plat::ERR_INVALID_PARAMETER);
    EXPECT_EQ(plat::thread_start(nullptr, &ran), plat::ERR_INVALID_PARAMETER);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ran);
}

struct Ending {
    std::promise<void> cleaned_up;
    std::atomic<bool> ran_past_end{false};
};

struct CleanUp {
    Ending *ending = nullptr;
    ~CleanUp() {
        if (ending != nullptr) ending->cleaned_up.set_value();
    }
};

thread_local CleanUp clean_up;

void end_early(void *arg) {
    auto *ending = static_cast<Ending *>(arg);
    clean_up.ending = ending;
    plat::thread_end();
    ending->ran_past_end = true;
}

TEST(Thread, EndRunsThreadLocalDestructors) {
    Ending ending;
    auto cleaned_up = ending.cleaned_up.get_future();
    ASSERT_EQ(plat::thread_start(end_early, &ending), plat::OK);
    ASSERT_EQ(cleaned_up.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(ending.ran_past_end);
}

TEST(Thread, SleepWaitsAtLeastTheTimeAsked) {
    auto start = std::chrono::steady_clock::now();
    plat::sleep_ms(20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

// The exit handler runs on a normal exit only: return from main or exit(), not _exit.
TEST(AtExit, RunsOnNormalExitOnly) {
    const std::string dir = kavitest::make_temp_dir();
    const std::string program = kavitest::executable_dir() + "/platform_child";
    for (const char *mode : {"return", "exit", "_exit"}) {
        const std::string out = dir + "/" + mode;
        auto child = kavitest::Child::spawn({program, mode}, {}, out);
        ASSERT_EQ(child.wait(10000), 0) << mode;
        EXPECT_EQ(kavitest::read_file(out), mode[0] == '_' ? "" : "handler ran\n") << mode;
    }
}

}  // namespace
