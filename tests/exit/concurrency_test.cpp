// concurrency_test.cpp — every call returns and every answer reaches its own call: calls that
// share a correlation, terminations in the middle of a send or of a command. The races are set
// up with the pause points of the fault seam, never left to luck.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "exit/exit_table.h"
#include "kaviexit.h"
#include "platform/platform.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"
#include "tests/vulece/support.h"

namespace {

constexpr int BOUND_MS = 10000;  // a call that takes longer than this hangs

// Gate: the commands of a gated exit wait at it, each until the test lets its number through.
class Gate {
  public:
    void pass(int n) {
        std::unique_lock<std::mutex> held(lock_);
        ++entered_;
        changed_.notify_all();
        changed_.wait_for(held, std::chrono::milliseconds(BOUND_MS),
                          [&] { return all_ || through_.count(n) != 0; });
    }
    bool entered(int count) {
        std::unique_lock<std::mutex> held(lock_);
        return changed_.wait_for(held, std::chrono::milliseconds(BOUND_MS),
                                 [&] { return entered_ >= count; });
    }
    int entered_now() {
        std::lock_guard<std::mutex> held(lock_);
        return entered_;
    }
    void let_through(int n) {
        std::lock_guard<std::mutex> held(lock_);
        through_.insert(n);
        changed_.notify_all();
    }
    void open() {
        std::lock_guard<std::mutex> held(lock_);
        all_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool all_ = false;
    std::set<int> through_;
};

Gate gates[2];

// A command's number is its command name; the answer carries it back in its status and in
// resource_type, so each call can tell its own answer.
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

// Call: KaviSend on a thread of its own with a block that starts zeroed, as most callers' do,
// so that every call shares one correlation.
class Call {
  public:
    Call(const char *caller, const char *target, int number) {
        snprintf(command_, sizeof command_, "%d", number);
        block_.command_name = command_;
        thread_ = std::thread(
            [this, caller, target] { done_.set_value(KaviSend(caller, target, " ", &block_)); });
    }
    ~Call() {
        if (thread_.joinable()) thread_.join();
    }
    // result: what the call returned; one that does not return in time ends the test process.
    uint32_t result() {
        if (result_.wait_for(std::chrono::milliseconds(BOUND_MS)) != std::future_status::ready) {
            ADD_FAILURE() << "KaviSend " << command_ << " did not return";
            std::_Exit(1);
        }
        return result_.get();
    }
    bool returned_within(int ms) {
        return result_.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    }
    const _VULE_PARAMETERS32 &block() const { return block_; }

  private:
    char command_[16];
    _VULE_PARAMETERS32 block_{};
    std::promise<uint32_t> done_;
    std::shared_future<uint32_t> result_ = done_.get_future().share();
    std::thread thread_;
};

template <typename T>
T within_bound(std::future<T> &f, const char *what) {
    if (f.wait_for(std::chrono::milliseconds(BOUND_MS)) != std::future_status::ready) {
        ADD_FAILURE() << what << " did not return";
        std::_Exit(1);
    }
    return f.get();
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
    // run_gated_command: exit A (gated, run mode 1) runs command 1 of the client's.
    void run_gated_command(lifecycle::Tool &client) {
        enroll("a", gated<0>, 1);
        ASSERT_EQ(client.send("A", lifecycle::command_elements(0x10, "A", "1")), VULC_OK);
        ASSERT_TRUE(gates[0].entered(1));
    }
    std::vector<std::string> registered_;
};

TEST_F(Concurrency, AFailedSendLeavesAnotherCallsEntryUnderTheSameKeyAlone) {
    enroll("alpha", answer, 1);
    enroll("gamma", gated<0>, 1);
    Call waiting("ALPHA   ", "gamma", 1);
    ASSERT_TRUE(gates[0].entered(1));
    Call failing("ALPHA   ", "nobody", 2);
    EXPECT_EQ(failing.result(), uint32_t{VULE_EXIT_ENDED});
    gates[0].let_through(1);
    EXPECT_EQ(waiting.result(), 0x1001u);
    EXPECT_EQ(waiting.block().resource_type, 1u);
}

TEST_F(Concurrency, TerminatingOneExitLeavesAnotherExitsCallUnderTheSameKeyAlone) {
    enroll("alpha", answer, 1);
    enroll("bravo", answer, 1);
    enroll("gamma", gated<0>, 1);
    Call alpha("ALPHA   ", "gamma", 1);  // the older entry
    ASSERT_TRUE(gates[0].entered(1));
    Call bravo("BRAVO   ", "gamma", 2);
    ASSERT_TRUE(gates[0].entered(2));
    EXPECT_EQ(KaviTerminate("bravo"), uint32_t{VULE_OK});
    EXPECT_EQ(bravo.result(), uint32_t{VULE_EXIT_ENDED});
    gates[0].open();
    EXPECT_EQ(alpha.result(), 0x1001u);
}

TEST_F(Concurrency, CallsOfOneExitUnderOneKeyEachGetTheAnswerToTheirOwnCommand) {
    enroll("alpha", answer, 1);
    enroll("gamma", gated<0>, 1);
    Call first("ALPHA   ", "gamma", 1);
    ASSERT_TRUE(gates[0].entered(1));
    Call second("ALPHA   ", "gamma", 2);
    ASSERT_TRUE(gates[0].entered(2));
    // The younger call's answer comes first.
    gates[0].let_through(2);
    EXPECT_EQ(second.result(), 0x1002u);
    EXPECT_EQ(second.block().resource_type, 2u);
    EXPECT_FALSE(first.returned_within(50));
    gates[0].let_through(1);
    EXPECT_EQ(first.result(), 0x1001u);
    EXPECT_EQ(first.block().resource_type, 1u);
}

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
    Call outer("CHARLIE ", "alpha", 1);
    ASSERT_TRUE(gates[1].entered(1));
    // The exit function's own send stops between finding its exit and waiting; meanwhile the
    // exit's queue thread ends and wakes every waiter it has.
    plat::pause_arm(plat::Pause::send_looked_up);
    gates[1].let_through(1);
    ASSERT_TRUE(plat::pause_reached(plat::Pause::send_looked_up, BOUND_MS));
    plat::pause_arm(plat::Pause::queue_answers_closed);
    std::future<uint32_t> terminated =
        std::async(std::launch::async, [] { return KaviTerminate("alpha"); });
    ASSERT_TRUE(plat::pause_reached(plat::Pause::queue_answers_closed, BOUND_MS));
    plat::pause_release(plat::Pause::send_looked_up);
    EXPECT_EQ(outer.result(), 0x1001u);
    EXPECT_EQ(inner_result.load(), uint32_t{VULE_EXIT_ENDED});
    plat::pause_release(plat::Pause::queue_answers_closed);
    EXPECT_EQ(within_bound(terminated, "KaviTerminate"), uint32_t{VULE_OK});
}

TEST_F(Concurrency, TerminationAnswersOnlyTheCommandItFoundRunning) {
    enroll("a", gated<0>, 1);
    enroll("b", gated<1>, 1);
    enroll("charlie", answer, 1);
    Call first("CHARLIE ", "a", 1);
    ASSERT_TRUE(gates[0].entered(1));
    plat::pause_arm(plat::Pause::terminate_answering);
    std::future<uint32_t> terminated =
        std::async(std::launch::async, [] { return KaviTerminate("a"); });
    ASSERT_TRUE(plat::pause_reached(plat::Pause::terminate_answering, BOUND_MS));
    // Meanwhile A's command finishes and replies itself, and B's takes its place in the table.
    gates[0].let_through(1);
    EXPECT_EQ(first.result(), 0x1001u);
    Call second("CHARLIE ", "b", 2);
    ASSERT_TRUE(gates[1].entered(1));
    plat::pause_release(plat::Pause::terminate_answering);
    EXPECT_EQ(within_bound(terminated, "KaviTerminate"), uint32_t{VULE_OK});
    EXPECT_FALSE(second.returned_within(100));
    gates[1].let_through(2);
    EXPECT_EQ(second.result(), 0x1002u);
}

TEST_F(Concurrency, WhenTheStopCannotBeSentRunningCommandsAreStillAnsweredOnce) {
    lifecycle::Tool client("CLIENT");
    run_gated_command(client);
    plat::fault_arm(plat::Fault::mailslot_write, 0, 1);  // the stop message
    EXPECT_EQ(KaviTerminate("a"), uint32_t{VULE_SYSTEM_ERROR});
    EXPECT_EQ(lifecycle::reply_status(client.receive(BOUND_MS)), VULE_EXIT_ENDED);
    gates[0].open();
    EXPECT_TRUE(client.receive(300).empty());
}

std::atomic<uint32_t> own_termination{99};

uint32_t KAVI_CALL self_terminating(_VULE_PARAMETERS32 *b) {
    own_termination = KaviTerminate("alpha");
    return answer(b);
}

TEST_F(Concurrency, TerminateCalledByTheExitsOwnFunctionInRunModeZeroReturns) {
    enroll("alpha", self_terminating, 0);
    enroll("charlie", answer, 1);
    Call call("CHARLIE ", "alpha", 1);
    EXPECT_EQ(call.result(), 0x1001u);
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
    Call failing("ALPHA   ", "gamma", 1);
    EXPECT_EQ(failing.result(), uint32_t{VULE_SYSTEM_ERROR});
    // Run mode 0 runs commands in order: had the first been sent, it would have run first.
    Call next("ALPHA   ", "gamma", 2);
    EXPECT_EQ(next.result(), 0x1002u);
    EXPECT_EQ(gates[0].entered_now(), 1);
}

TEST_F(Concurrency, AnInvocationTracesTheNameItsCommandWasAddressedTo) {
    vuletest::Tracing tracing("0x700");
    lifecycle::Tool client("CLIENT");
    run_gated_command(client);
    ASSERT_EQ(KaviTerminate("a"), uint32_t{VULE_OK});
    // Another exit takes the slot while A's command still runs.
    ASSERT_EQ(KaviInit("b", answer, 1), VULE_OK);
    ASSERT_EQ(lifecycle::slot_view(0).name, "B       ");
    gates[0].open();
    auto invocation_end = [&] {
        for (const vuletest::Record &r : tracing.records("VulequetInvokeExit"))
            if (r.kind == 2) return r;
        return vuletest::Record{};
    };
    ASSERT_TRUE(kavitest::eventually([&] { return invocation_end().kind == 2; }, BOUND_MS));
    ASSERT_EQ(invocation_end().items.size(), 1u);
    EXPECT_EQ(invocation_end().items[0], "A       ");
    EXPECT_EQ(KaviTerminate("b"), uint32_t{VULE_OK});
}

}  // namespace
