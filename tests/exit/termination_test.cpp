// termination_test.cpp — KaviWait's time-out and answers; KaviTerminate's names, what it frees, and
// how it answers commands still running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace lifecycle;

std::atomic<bool> entered{false}, release{false};

uint32_t KAVI_CALL slow_exit(_VULE_PARAMETERS32 *) {
    entered = true;
    while (!release) plat::sleep_ms(1);
    return 9;
}

// waited_ms: how long KaviWait(name, seconds) took; its result goes to *rc.
long waited_ms(int32_t seconds, std::atomic<uint32_t> *rc) {
    auto start = std::chrono::steady_clock::now();
    *rc = KaviWait("W", seconds);
    return (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
}

// A wait of 0 s only polls, 1 s lasts a second; one of 5 s (5000 ms) or without limit (-1)
// that the node's shutdown ends returns 9.
TEST(KaviWait, SecondsBecomeMillisecondsAndShutdownEndsTheWaitWith9) {
    std::atomic<uint32_t> rc{0};
    EXPECT_LT(waited_ms(0, &rc), 500);
    EXPECT_EQ(rc.load(), VULE_WAIT_TIMEOUT);
    long waited = waited_ms(1, &rc);
    EXPECT_EQ(rc.load(), VULE_WAIT_TIMEOUT);
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 5000);
    for (int32_t seconds : {5, -1}) {
        std::thread waiter([&] { EXPECT_LT(waited_ms(seconds, &rc), 4000) << seconds; });
        uint32_t ended = 0;
        ASSERT_TRUE(kavitest::eventually([&] { return vulcshutdown(&ended) == 0 && ended; }, 5000));
        waiter.join();
        EXPECT_EQ(rc.load(), VULE_WAIT_ENDED) << seconds;
    }
}

size_t entries(const char *dir) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// Only this process's exits are found (in any case); terminating one (here in run mode 0) frees its
// slot and leaves no thread or descriptor behind; the name can be registered again.
TEST(KaviTerminate, FindsOnlyItsOwnExitsAndFreesWhatTheyHeld) {
    release = true;  // the exits here answer at once
    for (const char *name : {static_cast<const char *>(nullptr), "", "NINECHARS"})
        EXPECT_EQ(KaviTerminate(name), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviTerminate("NEVER"), VULE_NOT_REGISTERED);
    Tool tool("KNOWN");
    EXPECT_EQ(KaviTerminate("KNOWN"), VULE_NOT_REGISTERED);
    EXPECT_TRUE(task_started("KNOWN"));
    ASSERT_EQ(KaviInitialize("SECOND", slow_exit), VULE_OK);
    EXPECT_EQ(KaviTerminate("KNOWN"), VULE_NOT_REGISTERED);
    EXPECT_EQ(slot_view(0).terminating, 0u);
    // A first cycle creates what lives as long as the process (the library's mutexes, the
    // process-exit entry, the mailslot writer's state).
    ASSERT_EQ(KaviInit("FIRST", slow_exit, 0), VULE_OK);
    ASSERT_EQ(KaviTerminate("FIRST"), VULE_OK);
    plat::sleep_ms(100);  // its threads may still be on their way out
    const size_t threads = entries("/proc/self/task"), descriptors = entries("/proc/self/fd");
    ASSERT_EQ(KaviInit("FIRST", slow_exit, 0), VULE_OK);
    ASSERT_EQ(KaviTerminate("first"), VULE_OK);
    EXPECT_TRUE(kavitest::eventually([&] { return entries("/proc/self/task") <= threads; }, 2000));
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    SlotView view = slot_view(1);
    EXPECT_TRUE(view.free());
    EXPECT_EQ(view.terminating, 1u);
    EXPECT_FALSE(task_started("FIRST") || exit_mailslot("FIRST"));
    EXPECT_EQ(KaviTerminate("FIRST"), VULE_NOT_REGISTERED);
    ASSERT_EQ(KaviInitialize("FIRST", slow_exit), VULE_OK);
    ASSERT_EQ(tool.command("FIRST", 42), VULC_OK);
    EXPECT_EQ(reply_status(tool.receive(5000)), 9);
}

// Run mode 0 waits for a running command to complete; run mode 1 answers it 0x8001 before the task
// stops (also when its stop cannot be sent), and the command's own end answers nothing more.
TEST(KaviTerminate, RunningCommandsAreAnsweredOnce) {
    for (uint32_t run_mode : {0u, 1u, 2u}) {  // 2: run mode 1, and the stop cannot be sent
        entered = release = false;
        Tool tool("STOOL");
        ASSERT_EQ(KaviInit("SLOW", slow_exit, run_mode != 0), VULE_OK);
        ASSERT_EQ(tool.command("SLOW", 1), VULC_OK);
        ASSERT_TRUE(kavitest::eventually([] { return entered.load(); }, 5000));
        if (run_mode == 2) plat::fault_arm(plat::Fault::mailslot_write, 0, 1);
        std::atomic<bool> done{false};
        std::thread terminator([&] {
            EXPECT_EQ(KaviTerminate("SLOW"), run_mode == 2 ? VULE_SYSTEM_ERROR : VULE_OK);
            done = true;
        });
        if (run_mode == 0) {
            plat::sleep_ms(50);
            EXPECT_FALSE(done.load());
            EXPECT_EQ(slot_view(0).terminating, 1u);  // the table stays usable meanwhile
            release = true;
        }
        terminator.join();
        plat::fault_clear();
        EXPECT_EQ(reply_status(tool.receive(5000)), run_mode == 0 ? 9 : VULE_EXIT_ENDED);
        release = true;
        EXPECT_TRUE(tool.receive(300).empty()) << run_mode;
        EXPECT_TRUE(kavitest::eventually([] { return slot_view(0).free(); }, 5000)) << run_mode;
    }
}

}  // namespace
