// termination_test.cpp — KaviWait's time-out rule and its two answers, and KaviTerminate: which
// names it finds, what it frees, and how it copes when its stop message cannot be sent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace lifecycle;
using Clock = std::chrono::steady_clock;

uint32_t KAVI_CALL answer_5(_VULE_PARAMETERS32 *) {
    return 5;
}

std::atomic<bool> entered{false};
std::atomic<bool> release{false};

uint32_t KAVI_CALL slow_exit(_VULE_PARAMETERS32 *) {
    entered = true;
    while (!release) plat::sleep_ms(1);
    return 9;
}

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// run_slow_command: registers `name` with slow_exit and has `tool` send it a command that is
// running when this returns.
void run_slow_command(const char *name, uint32_t run_mode, Tool &tool) {
    ASSERT_EQ(KaviInit(name, slow_exit, run_mode), VULE_OK);
    std::vector<uint8_t> command;
    add_block(&command, 1, name);
    ASSERT_EQ(tool.send(name, command), VULC_OK);
    ASSERT_TRUE(kavitest::eventually([] { return entered.load(); }, 5000));
}

// shut_down_waiter: ends the wait of a thread that is in (or about to enter) KaviWait.
void shut_down_waiter() {
    ASSERT_TRUE(kavitest::eventually(
        [] {
            uint32_t ended = 0;
            return vulcshutdown(&ended) == 0 && ended > 0;
        },
        5000));
}

TEST(KaviWait, ZeroSecondsOnlyPolls) {
    auto start = Clock::now();
    EXPECT_EQ(KaviWait("SEM32.INTERAPP.KAVIEXIT", 0), VULE_WAIT_TIMEOUT);
    EXPECT_LT(elapsed_ms(start), 500);
}

TEST(KaviWait, SecondsBecomeMilliseconds) {
    auto start = Clock::now();
    EXPECT_EQ(KaviWait("W", 1), VULE_WAIT_TIMEOUT);
    long waited = elapsed_ms(start);
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 5000);
}

// A wait of 5 seconds (5000 ms) or without limit (-1) that the node's shutdown ends: 9.
TEST(KaviWait, ShutdownEndsTheWaitWith9) {
    for (int32_t seconds : {5, -1}) {
        std::atomic<uint32_t> result{0};
        auto start = Clock::now();
        std::thread waiter([&] { result = KaviWait("W", seconds); });
        shut_down_waiter();
        waiter.join();
        EXPECT_EQ(result.load(), VULE_WAIT_ENDED) << seconds;
        EXPECT_LT(elapsed_ms(start), 4000) << seconds;
    }
}

TEST(KaviTerminate, InvalidAndUnknownNames) {
    EXPECT_EQ(KaviTerminate(nullptr), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviTerminate(""), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviTerminate("NINECHARS"), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviTerminate("NEVER"), VULE_NOT_REGISTERED);
    // Known to the service, but not an exit of this process.
    Tool tool("KNOWN");
    EXPECT_EQ(KaviTerminate("KNOWN"), VULE_NOT_REGISTERED);
    EXPECT_TRUE(task_started("KNOWN"));
    ASSERT_EQ(KaviInitialize("REAL", answer_5), VULE_OK);
    EXPECT_EQ(KaviTerminate("KNOWN"), VULE_NOT_REGISTERED);
    EXPECT_EQ(slot_view(0).terminating, 0u);
}

TEST(KaviTerminate, LowerCaseNameEndsTheExitAndFreesItsSlot) {
    ASSERT_EQ(KaviInitialize("LOWER", answer_5), VULE_OK);
    EXPECT_EQ(KaviTerminate("lower"), VULE_OK);
    SlotView view = slot_view(0);
    EXPECT_EQ(view.name, "");
    EXPECT_EQ(view.terminating, 1u);
    EXPECT_FALSE(view.queue_ended);
    EXPECT_FALSE(task_started("LOWER"));
    EXPECT_FALSE(plat::mailslot_exists("\\\\.\\MAILSLOT\\VULEQUEUELOWER"));
    EXPECT_EQ(KaviTerminate("LOWER"), VULE_NOT_REGISTERED);
}

TEST(KaviTerminate, NameCanBeRegisteredAgain) {
    ASSERT_EQ(KaviInitialize("FIRST", answer_5), VULE_OK);
    ASSERT_EQ(KaviInitialize("SECOND", answer_5), VULE_OK);
    ASSERT_EQ(KaviTerminate("FIRST"), VULE_OK);
    ASSERT_EQ(KaviInitialize("THIRD", answer_5), VULE_OK);
    ASSERT_EQ(KaviInitialize("FIRST", answer_5), VULE_OK);
    EXPECT_EQ(slot_view(0).name, pad("THIRD"));
    EXPECT_EQ(slot_view(2).name, pad("FIRST"));
    Tool tool("TTOOL");
    std::vector<uint8_t> command;
    add_block(&command, 42, "FIRST");
    ASSERT_EQ(tool.send("FIRST", command), VULC_OK);
    EXPECT_EQ(reply_status(tool.receive(5000)), 5);
}

// A command still running when termination starts completes and is answered first.
TEST(KaviTerminate, WaitsForTheQueueThreadAndRunningCommands) {
    Tool tool("STOOL");
    run_slow_command("SLOW", 0, tool);
    std::atomic<bool> done{false};
    std::thread terminator([&] {
        EXPECT_EQ(KaviTerminate("SLOW"), VULE_OK);
        done = true;
    });
    plat::sleep_ms(50);
    EXPECT_FALSE(done.load());
    // The exit table stays usable while termination waits.
    EXPECT_EQ(slot_view(0).terminating, 1u);
    release = true;
    terminator.join();
    EXPECT_EQ(reply_status(tool.receive(5000)), 9);
}

// In run mode 1 termination does not wait for a running command; it answers it with 0x8001
// before the task stops, and the command, when it ends, answers nothing more.
TEST(KaviTerminate, AnswersCommandsStillRunningInRunModeOne) {
    Tool tool("STOOL1");
    run_slow_command("SLOW1", 1, tool);
    EXPECT_EQ(KaviTerminate("SLOW1"), VULE_OK);
    EXPECT_EQ(reply_status(tool.receive(5000)), VULE_EXIT_ENDED);
    release = true;
    EXPECT_TRUE(tool.receive(300).empty());
}

// The stop message cannot be allocated: 7, the slot's name is freed at once, and the queue
// thread, ended by the task's stop, closes the slot's objects itself; then the slot is free.
TEST(KaviTerminate, UnsentStopLeavesTheQueueThreadItsObjects) {
    ASSERT_EQ(KaviInit("NOSTOP", answer_5, 0), VULE_OK);
    Tool tool("NTOOL");
    std::vector<uint8_t> command;
    add_block(&command, 1, "NOSTOP");
    ASSERT_EQ(tool.send("NOSTOP", command), VULC_OK);  // the queue thread is running
    ASSERT_EQ(reply_status(tool.receive(5000)), 5);
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    EXPECT_EQ(KaviTerminate("NOSTOP"), VULE_SYSTEM_ERROR);
    plat::fault_clear();
    // The task's inbox goes once the queue thread has left its receive.
    EXPECT_TRUE(kavitest::eventually([] { return !task_started("NOSTOP"); }, 5000));
    ASSERT_TRUE(kavitest::eventually([] { return !slot_view(0).queue_ended; }, 5000));
    SlotView view = slot_view(0);
    EXPECT_EQ(view.name, "");
    EXPECT_FALSE(view.dispatcher_mutex || view.work_posted);
    ASSERT_EQ(KaviInitialize("NOSTOP", answer_5), VULE_OK);
    EXPECT_EQ(slot_view(0).name, pad("NOSTOP"));
    EXPECT_EQ(KaviTerminate("NOSTOP"), VULE_OK);
}

}  // namespace
