// concurrency_test.cpp — terminations in the middle of a send or of a command: every call returns
// with its own answer. The races are set up with the fault seam's pause points, not left to luck.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

constexpr int BOUND_MS = 10000;  // a call that takes longer than this hangs

// Gate: the commands of a gated exit wait at it, each until the test lets its number through.
struct Gate {
    std::atomic<int> entered{0};
    std::atomic<unsigned> through{0};  // a bit for each number let through; all bits: open
    void pass(int n) {
        ++entered;
        kavitest::eventually([&] { return (through >> n & 1) != 0; }, BOUND_MS);
    }
    bool reached(int count) {
        return kavitest::eventually([&] { return entered >= count; }, BOUND_MS);
    }
    void let_through(int n) { through |= 1u << n; }
    void open() { through = ~0u; }
} gates[2];

// A command's number is its command name; the answer carries it in its status and resource_type.
int number_of(const _VULE_PARAMETERS32 *b) {
    return b->command_name != nullptr ? atoi(b->command_name) : 0;
}
uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *b) {
    b->resource_type = static_cast<uint32_t>(number_of(b));
    return 0x1000u + number_of(b);
}
template <int G>
uint32_t KAVI_CALL gated(_VULE_PARAMETERS32 *b) {
    gates[G].pass(number_of(b));
    return answer(b);
}

// send: KaviSend of command `number` on a thread of its own, with a zeroed block (as most
// callers').
std::future<uint32_t> send(const char *caller, const char *target, int number) {
    return std::async(std::launch::async, [=] {
        std::string command = std::to_string(number);
        _VULE_PARAMETERS32 block{};
        block.command_name = command.data();
        return KaviSend(caller, target, " ", &block);
    });
}
// result: what a call returned; one that does not return in time ends the test process.
uint32_t result(std::future<uint32_t> &&call) {
    if (call.wait_for(std::chrono::milliseconds(BOUND_MS)) != std::future_status::ready) {
        ADD_FAILURE() << "a call did not return";
        std::_Exit(1);
    }
    return call.get();
}
bool returned_within(std::future<uint32_t> &call, int ms) {
    return call.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

class Concurrency : public ::testing::Test {
  protected:
    void SetUp() override { setenv("KAVI_START_PAUSE_MS", "0", 1); }
    void TearDown() override {
        for (plat::Pause p : {plat::Pause::send_looked_up, plat::Pause::send_watching,
                              plat::Pause::queue_answers_closed, plat::Pause::terminate_answering})
            plat::pause_release(p);
        for (Gate &g : gates) g.open();
        for (const std::string &name : registered_) KaviTerminate(name.c_str());
        plat::fault_clear();
    }
    void enroll(const char *name, VULE_EXIT_FUNCTION fn, uint32_t run_mode) {
        ASSERT_EQ(KaviInit(name, fn, run_mode), VULE_OK) << name;
        registered_.push_back(name);
    }
    std::vector<std::string> registered_;
};

std::atomic<uint32_t> inner_result{0};

uint32_t KAVI_CALL forwarding(_VULE_PARAMETERS32 *b) {
    gates[1].pass(number_of(b));
    _VULE_PARAMETERS32 inner{};
    inner_result = KaviSend("ALPHA   ", "bravo", " ", &inner);
    return answer(b);
}

TEST_F(Concurrency, ASendThatRacesTheEndOfItsRunModeZeroExitIsAnsweredAtOnce) {
    enroll("alpha", forwarding, 0);
    enroll("bravo", answer, 1);
    enroll("charlie", answer, 1);
    auto outer = send("CHARLIE ", "alpha", 1);
    ASSERT_TRUE(gates[1].reached(1));
    // The exit function's send stops between finding its exit and waiting; meanwhile the exit's
    // queue thread ends and wakes every waiter it has.
    plat::pause_arm(plat::Pause::send_looked_up);
    gates[1].let_through(1);
    ASSERT_TRUE(plat::pause_reached(plat::Pause::send_looked_up, BOUND_MS));
    plat::pause_arm(plat::Pause::queue_answers_closed);
    auto terminated = std::async(std::launch::async, [] { return KaviTerminate("alpha"); });
    ASSERT_TRUE(plat::pause_reached(plat::Pause::queue_answers_closed, BOUND_MS));
    plat::pause_release(plat::Pause::send_looked_up);
    EXPECT_EQ(result(std::move(outer)), 0x1001u);
    EXPECT_EQ(inner_result.load(), uint32_t{VULE_EXIT_ENDED});
    plat::pause_release(plat::Pause::queue_answers_closed);
    EXPECT_EQ(result(std::move(terminated)), uint32_t{VULE_OK});
}

TEST_F(Concurrency, TerminationAnswersOnlyTheCommandItFoundRunning) {
    enroll("a", gated<0>, 1);
    enroll("b", gated<1>, 1);
    enroll("charlie", answer, 1);
    auto first = send("CHARLIE ", "a", 1);
    ASSERT_TRUE(gates[0].reached(1));
    plat::pause_arm(plat::Pause::terminate_answering);
    auto terminated = std::async(std::launch::async, [] { return KaviTerminate("a"); });
    ASSERT_TRUE(plat::pause_reached(plat::Pause::terminate_answering, BOUND_MS));
    // Meanwhile A's command finishes and replies itself, and B's takes its place in the table.
    gates[0].let_through(1);
    EXPECT_EQ(result(std::move(first)), 0x1001u);
    auto second = send("CHARLIE ", "b", 2);
    ASSERT_TRUE(gates[1].reached(1));
    plat::pause_release(plat::Pause::terminate_answering);
    EXPECT_EQ(result(std::move(terminated)), uint32_t{VULE_OK});
    EXPECT_FALSE(returned_within(second, 100));
    gates[1].let_through(2);
    EXPECT_EQ(result(std::move(second)), 0x1002u);
}

std::atomic<uint32_t> own_termination{99};

uint32_t KAVI_CALL self_terminating(_VULE_PARAMETERS32 *b) {
    own_termination = KaviTerminate("alpha");
    return answer(b);
}

TEST_F(Concurrency, TerminateCalledByTheExitsOwnFunctionInRunModeZeroReturns) {
    enroll("alpha", self_terminating, 0);
    enroll("charlie", answer, 1);
    EXPECT_EQ(result(send("CHARLIE ", "alpha", 1)), 0x1001u);
    EXPECT_EQ(own_termination.load(), uint32_t{VULE_OK});
    // The exit ends once its function has returned: its name is free again.
    EXPECT_TRUE(
        kavitest::eventually([] { return KaviInit("alpha", answer, 1) == VULE_OK; }, BOUND_MS));
}

TEST_F(Concurrency, ACallThatCannotWaitForItsAnswerSendsNothing) {
    enroll("alpha", answer, 1);
    enroll("gamma", gated<0>, 0);
    gates[0].open();
    plat::fault_arm(plat::Fault::event_create, 0, 1);  // the wait-list entry's event
    EXPECT_EQ(result(send("ALPHA   ", "gamma", 1)), uint32_t{VULE_SYSTEM_ERROR});
    // Run mode 0 runs commands in order: had the first been sent, it would have run first.
    EXPECT_EQ(result(send("ALPHA   ", "gamma", 2)), 0x1002u);
    EXPECT_EQ(gates[0].entered.load(), 1);
}

}  // namespace
