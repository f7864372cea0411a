// dispatcher_test.cpp — an exit in run mode 0: its commands run one at a time in posting order,
// and a stop answers what is still queued with 0x8001 without running it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "exit/records.h"
#include "platform/platform.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace lifecycle;

// The exit function holds a command named GATE until the test opens the gate.
std::mutex lock;
std::condition_variable changed;
bool gate_open = false;
std::vector<std::string> order;
int running = 0;
int most_running = 0;

uint32_t KAVI_CALL serial_exit(_VULE_PARAMETERS32 *block) {
    std::string name = block->command_name != nullptr ? block->command_name : "";
    std::unique_lock<std::mutex> guard(lock);
    order.push_back(name);
    most_running = std::max(most_running, ++running);
    changed.notify_all();
    if (name == "GATE") changed.wait(guard, [] { return gate_open; });
    --running;
    return 0x77;
}

void open_gate() {
    std::lock_guard<std::mutex> guard(lock);
    gate_open = true;
    changed.notify_all();
}

bool gate_reached() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(5), [] { return running == 1; });
}

// queued_kinds: the kinds of the records on the exit's work list, front first.
std::vector<uint32_t> queued_kinds() {
    std::vector<uint32_t> kinds;
    kavi::ExitSlot &slot = kavi::exit_table[0];
    kavi::Lock lock(slot.dispatcher_mutex);
    EXPECT_TRUE(lock.held());
    for (void *node = slot.work_list.first; node != nullptr; node = *static_cast<void **>(node))
        kinds.push_back(static_cast<kavi::InvocationRecord **>(node)[2]->kind);
    return kinds;
}

std::vector<uint8_t> command(uint32_t correlation, const std::string &name) {
    return command_elements(correlation, "DEXIT", name);
}

class Dispatcher : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(KaviInit("DEXIT", serial_exit, 0), VULE_OK); }
    void TearDown() override { plat::fault_clear(); }

    Tool tool{"DTOOL"};
};

TEST_F(Dispatcher, CommandsRunOneAtATimeInPostingOrder) {
    ASSERT_EQ(tool.send("DEXIT", command(1, "GATE")), VULC_OK);
    ASSERT_TRUE(gate_reached());
    for (uint32_t i = 2; i <= 4; ++i)
        ASSERT_EQ(tool.send("DEXIT", command(i, "C" + std::to_string(i))), VULC_OK);
    ASSERT_TRUE(kavitest::eventually([] { return queued_kinds().size() == 3; }, 5000));
    open_gate();
    for (uint32_t i = 1; i <= 4; ++i) expect_reply(tool, 0x77, i);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, (std::vector<std::string>{"GATE", "C2", "C3", "C4"}));
    EXPECT_EQ(most_running, 1);
}

// The running command completes; the stop goes to the front of the list, so the two queued
// commands are answered with 0x8001 and never run.
TEST_F(Dispatcher, StopAnswersQueuedCommands) {
    ASSERT_EQ(tool.send("DEXIT", command(1, "GATE")), VULC_OK);
    ASSERT_TRUE(gate_reached());
    ASSERT_EQ(tool.send("DEXIT", command(2, "C2")), VULC_OK);
    ASSERT_EQ(tool.send("DEXIT", command(3, "C3")), VULC_OK);
    ASSERT_TRUE(kavitest::eventually([] { return queued_kinds().size() == 2; }, 5000));
    std::atomic<uint32_t> terminated{UINT32_MAX};
    std::thread terminator([&] { terminated = KaviTerminate("DEXIT"); });
    ASSERT_TRUE(kavitest::eventually(
        [] {
            std::vector<uint32_t> kinds = queued_kinds();
            return kinds.size() == 3 && kinds[0] == kavi::INVOCATION_STOP;
        },
        5000));
    open_gate();
    terminator.join();
    EXPECT_EQ(terminated.load(), VULE_OK);
    expect_reply(tool, 0x77, 1);
    for (uint32_t i = 2; i <= 3; ++i) expect_reply(tool, VULE_EXIT_ENDED, i);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, (std::vector<std::string>{"GATE"}));
}

TEST_F(Dispatcher, CommandThatCannotBeQueuedIsAnswered8009) {
    // A first command shows that the queue thread and the dispatcher are idle.
    ASSERT_EQ(tool.send("DEXIT", command(1, "C1")), VULC_OK);
    EXPECT_EQ(reply_status(tool.receive(5000)), 0x77);
    // The tool's message, the receive buffer and the record pass; the list node fails.
    plat::fault_arm(plat::Fault::alloc, 3, 1);
    ASSERT_EQ(tool.send("DEXIT", command(2, "C2")), VULC_OK);
    expect_reply(tool, VULE_NO_COMMAND_MEMORY, 2);
    plat::fault_clear();
    ASSERT_EQ(tool.send("DEXIT", command(3, "C3")), VULC_OK);
    EXPECT_EQ(reply_status(tool.receive(5000)), 0x77);
    EXPECT_EQ(KaviTerminate("DEXIT"), VULE_OK);
}

// An idle dispatcher takes the stop from an empty list and ends; the exit can come back.
TEST_F(Dispatcher, StopOnAnEmptyListEndsTheDispatcher) {
    EXPECT_EQ(KaviTerminate("DEXIT"), VULE_OK);
    SlotView view = slot_view(0);
    EXPECT_EQ(view.name, "");
    EXPECT_FALSE(view.queue_ended || view.dispatcher_mutex || view.work_posted);
    ASSERT_EQ(KaviInit("DEXIT", serial_exit, 0), VULE_OK);
    ASSERT_EQ(tool.send("DEXIT", command(1, "C1")), VULC_OK);
    EXPECT_EQ(reply_status(tool.receive(5000)), 0x77);
    EXPECT_EQ(KaviTerminate("DEXIT"), VULE_OK);
}

}  // namespace
