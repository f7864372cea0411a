// invocation_test.cpp — one command through VulequetInvokeExit with real service buffers and a
// real reply, the active-command table around it, and the process-exit handler racing it.
#include "exit/invocation.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include "exit/records.h"
#include "tests/exit/lifecycle_support.h"

namespace {

using namespace kavi;
using namespace std::chrono_literals;

// The exit function of the current test, reached from a plain function pointer.
std::function<uint32_t(_VULE_PARAMETERS32 *)> current_exit;
uint32_t KAVI_CALL call_current_exit(_VULE_PARAMETERS32 *block) {
    return current_exit(block);
}

class Invocation : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(create_mutex_once(&active_command_mutex), plat::OK); }

    // command: a record for a command the server sent and the exit received, as the queue
    // thread makes it.
    InvocationRecord *command(uint32_t correlation, const char *command_name) {
        EXPECT_EQ(server_.send("TEXIT",
                               lifecycle::command_elements(correlation, "TEXIT   ", command_name)),
                  VULC_OK);

        uint32_t length = 0;
        uint8_t *msg = exit_.take(&length, 5000);
        EXPECT_NE(msg, nullptr);
        auto *r = static_cast<InvocationRecord *>(plat::alloc_zeroed(sizeof(InvocationRecord)));
        codec::Header h = codec::read_header(msg);
        r->exit_function = call_current_exit;
        r->block = &r->native_block;
        r->message = msg;
        r->message_length = length;
        r->correlation = correlation;
        r->run_mode = 1;
        memcpy(r->destination_name, h.destination_name, 8);
        memcpy(r->origin_name, h.origin_name, 8);
        memcpy(r->origin_node, h.origin_node, 24);
        codec::decode_command(msg, length, &r->native_block);
        return r;
    }

    // replied: the size of the server's next reply, checking its status and correlation.
    size_t replied(int status, uint32_t correlation) {
        std::vector<uint8_t> reply = server_.receive(5000);
        uint32_t got = 0;
        EXPECT_EQ(lifecycle::reply_status(reply, &got), status);
        EXPECT_EQ(got, correlation);
        return reply.size();
    }

    static int active_count() {
        plat::mutex_acquire(active_command_mutex);
        int n = 0;
        for (const ActiveCommand &a : active_commands) n += a.message != nullptr;
        plat::mutex_release(active_command_mutex);
        return n;
    }

    lifecycle::Tool server_{"TSERVER"}, exit_{"TEXIT"};
};

TEST_F(Invocation, CommandIsActiveWhileItsExitRunsAndRepliedWithTheLow16BitsAfter) {
    InvocationRecord *record = command(0x00070001, "RUN");
    uint8_t *message = record->message;
    int seen_active = -1;
    current_exit = [&](_VULE_PARAMETERS32 *block) -> uint32_t {
        EXPECT_STREQ(block->command_name, "RUN");
        plat::mutex_acquire(active_command_mutex);
        seen_active =
            active_commands[0].message == message && active_commands[0].correlation == 0x00070001u;
        plat::mutex_release(active_command_mutex);
        return 0x12345;
    };
    VulequetInvokeExit(record);
    EXPECT_EQ(seen_active, 1);
    EXPECT_EQ(active_count(), 0);
    EXPECT_EQ(replied(0x2345, 0x00070001), 112u + 4 + 344 + 8 + 10);
}

// A thread that died holding the table's mutex does not keep a command out of the table: it
// must still be found there to be answered at the exit's end.
TEST_F(Invocation, AbandonedTableMutexIsOwnedAllTheSame) {
    InvocationRecord *record = command(0x31, "ABANDON");
    lifecycle::abandon(active_command_mutex);
    int seen_active = -1;
    current_exit = [&](_VULE_PARAMETERS32 *) -> uint32_t {
        seen_active = active_count();
        return 1;
    };
    VulequetInvokeExit(record);
    EXPECT_EQ(seen_active, 1);
    EXPECT_EQ(active_count(), 0);
    replied(1, 0x31);
}

TEST_F(Invocation, CommandBeyondAFullTableRunsAndLeavesTheTableAsItWas) {
    static uint8_t placeholder[64];
    plat::mutex_acquire(active_command_mutex);
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i)
        active_commands[i] = {&placeholder[i], i, 0, false, {}};
    plat::mutex_release(active_command_mutex);

    current_exit = [](_VULE_PARAMETERS32 *) -> uint32_t { return 3; };
    VulequetInvokeExit(command(0x42, "FULL"));
    replied(3, 0x42);
    plat::mutex_acquire(active_command_mutex);
    for (unsigned i = 0; i < ACTIVE_SLOTS; ++i) {
        EXPECT_EQ(active_commands[i].message, &placeholder[i]);
        active_commands[i].message = nullptr;
    }
    plat::mutex_release(active_command_mutex);
}

TEST_F(Invocation, ProcessExitAnswersARunningCommandOnceAndLeavesItsMessageToIt) {
    InvocationRecord *record = command(0x99, "LATE");
    std::promise<void> entered, may_return;
    auto returned = may_return.get_future().share();
    std::atomic<bool> text_intact{false};
    current_exit = [&](_VULE_PARAMETERS32 *block) -> uint32_t {
        entered.set_value();
        returned.wait();
        // The message is still this invocation's: its fields can be read after the answer.
        text_intact = strcmp(block->command_name, "LATE") == 0;
        return 0;
    };
    std::thread invocation([&] { VulequetInvokeExit(record); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

    VulequetAtExit();
    EXPECT_EQ(replied(VULE_EXIT_ENDED, 0x99), 126u);
    EXPECT_EQ(active_count(), 0);

    may_return.set_value();
    invocation.join();
    EXPECT_TRUE(text_intact);
    EXPECT_TRUE(server_.receive(300).empty()) << "the command was answered twice";
    VulequetAtExit();  // a second run finds nothing
    EXPECT_TRUE(server_.receive(100).empty());
}

}  // namespace
