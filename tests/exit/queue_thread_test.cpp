// queue_thread_test.cpp — the command queue thread against hand-made messages from a tool task:
// what reaches the exit function, what is answered, and what is dropped without harm.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "exit/stats.h"
#include "platform/platform.h"
#include "services/kavcacm/buffers.h"
#include "services/kavcacm/names.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace lifecycle;

std::atomic<int> calls{0};
std::mutex seen_lock;
std::string seen;  // command_name, display_name and command_string of the last call

std::string text_or_null(const char *text) {
    return text != nullptr ? text : "(null)";
}

uint32_t KAVI_CALL record_call(_VULE_PARAMETERS32 *block) {
    {
        std::lock_guard<std::mutex> guard(seen_lock);
        seen = text_or_null(block->command_name) + "," + text_or_null(block->display_name) + "," +
               text_or_null(block->command_string);
    }
    ++calls;
    return 0x12345;
}

std::string last_seen() {
    std::lock_guard<std::mutex> guard(seen_lock);
    return seen;
}

class QueueThread : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KAVI_START_PAUSE_MS", "0", 1);
        calls = 0;
        ASSERT_EQ(KaviInitialize("QEXIT", record_call), VULE_OK);
    }
    void TearDown() override {
        plat::fault_clear();
        EXPECT_EQ(KaviTerminate("QEXIT"), VULE_OK);
    }

    // command: a valid command with the correlation and a command_name.
    static std::vector<uint8_t> command(uint32_t correlation) {
        return command_elements(correlation, "QEXIT", "SHOW");
    }
    // answered: a command with the correlation is answered with the status, under its correlation.
    void answered(uint32_t correlation, int status) {
        ASSERT_EQ(tool.send("QEXIT", command(correlation)), VULC_OK);
        expect_reply(tool, status, correlation);
    }

    Tool tool{"QTOOL"};
};

TEST_F(QueueThread, CommandRunsAndIsAnswered) {
    answered(0x01020304, 0x2345);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(last_seen(), "SHOW,(null),(null)");
}

// Each malformed message is logged and released; none reaches the exit or gets a reply, and
// the thread goes on to run the next good command.
TEST_F(QueueThread, MalformedMessagesNeverReachTheExit) {
    std::vector<std::vector<uint8_t>> bad(6);
    add_block(&bad[1], 1);
    add_element(&bad[1], 2, 2, {0, 0});  // element shorter than its head
    add_block(&bad[2], 2);
    add_element(&bad[2], 40, 3, {'A', 0, 0, 0});  // longer than what remains
    add_block(&bad[3], 3);
    add_element(&bad[3], 8, 3, {'A', 'B', 'C', 'D'});  // text without its terminator
    add_block(&bad[4], 4);
    add_element(&bad[4], 12, 6, {100, 0, 0, 0, 1, 2, 3, 4});  // data count beyond the element
    add_text(&bad[5], 2, "NOBLOCK");                          // no parameter block at all
    for (const auto &elements : bad) ASSERT_EQ(tool.send("QEXIT", elements), VULC_OK);
    // A header whose lengths disagree.
    ASSERT_EQ(tool.send("QEXIT", command(5), 0, 4), VULC_OK);
    answered(6, 0x2345);
    EXPECT_TRUE(tool.receive(100).empty());
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(QueueThread, FieldBeforeBlockIsSkippedAndUnknownTypeEndsTheWalk) {
    std::vector<uint8_t> v;
    add_text(&v, 20, "EARLY");
    add_block(&v, 7);
    add_text(&v, 2, "CMD");
    add_element(&v, 8, 4, {1, 2, 3, 4});
    add_text(&v, 3, "LATE");
    ASSERT_EQ(tool.send("QEXIT", v), VULC_OK);
    EXPECT_EQ(reply_status(tool.receive(5000)), 0x2345);
    EXPECT_EQ(last_seen(), "CMD,(null),(null)");
}

TEST_F(QueueThread, StatusWithoutWaiterAndOtherFunctionCodesStartNothing) {
    std::vector<uint8_t> answer;
    add_block(&answer, 8);
    add_status(&answer, 0, 8);
    ASSERT_EQ(tool.send("QEXIT", answer), VULC_OK);
    ASSERT_EQ(tool.send("QEXIT", command(9), 1), VULC_OK);
    ASSERT_EQ(tool.send("QEXIT", command(10), 3), VULC_OK);
    ASSERT_EQ(tool.send("QEXIT", command(11), 7), VULC_OK);
    ASSERT_EQ(tool.send("QEXIT", command(11), kavi::FUNCTION_QUERY_ANSWER), VULC_OK);
    answered(12, 0x2345);
    EXPECT_EQ(calls.load(), 1);
}

// An operator's query is answered by the queue thread with the exit's counters; the exit
// function does not run for it.
TEST_F(QueueThread, QueryIsAnsweredWithTheCountersWithoutRunningTheExit) {
    answered(1, 0x2345);
    ASSERT_EQ(tool.send("QEXIT", {}, kavi::FUNCTION_QUERY), VULC_OK);
    std::vector<uint8_t> answer = tool.receive(5000);
    ASSERT_GT(answer.size(), codec::FIRST_ELEMENT_OFFSET + 4);
    EXPECT_EQ(codec::read_header(answer.data()).function_code, kavi::FUNCTION_QUERY_ANSWER);
    std::string text(reinterpret_cast<const char *>(answer.data()) + codec::FIRST_ELEMENT_OFFSET +
                     4);
    EXPECT_EQ(text.rfind("{\"exit\": \"QEXIT\", \"pid\": " + std::to_string(getpid()), 0), 0u)
        << text;
    EXPECT_NE(text.find("\"commands\": 1, \"status_zero\": 0, \"status_other\": 1,"),
              std::string::npos)
        << text;
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(QueueThread, NoInvocationThreadIsAnswered800A) {
    plat::fault_arm(plat::Fault::thread_start, 0, 60);
    answered(13, VULE_NO_COMMAND_THREAD);
    EXPECT_EQ(calls.load(), 0);
    answered(14, 0x2345);  // the 61st start is let through again
}

TEST_F(QueueThread, NoInvocationRecordIsAnswered8009) {
    // A first command shows that the queue thread is idle in its receive.
    answered(14, 0x2345);
    calls = 0;
    // The tool's message and the queue thread's receive buffer pass; the record fails.
    plat::fault_arm(plat::Fault::alloc, 2, 1);
    answered(15, VULE_NO_COMMAND_MEMORY);
    EXPECT_EQ(calls.load(), 0);
}

// A peer writes commands whose header names a destination that is no task name at all. Each
// runs; its reply cannot go out under that name, but its buffer is released all the same.
TEST(QueueThreadPeer, BufferOfACommandWithAnInvalidDestinationIsReleased) {
    const std::string log = kavitest::make_temp_dir() + "/errors.log";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    constexpr int COMMANDS = 3;
    // Forked before this process has threads; it writes once the exit's inbox exists.
    kavitest::Child peer = kavitest::Child::fork_run([] {
        const char exit_task[8] = {'Q', 'E', 'X', 'I', 'T', ' ', ' ', ' '};
        const std::string inbox = kavc::inbox_path(exit_task);
        if (!kavitest::eventually([&] { return plat::mailslot_exists(inbox.c_str()); }, 10000))
            return 1;
        const std::vector<uint8_t> m =
            raw_message("PEER    ", kavc::local_node(), "\x01/..\0\0\0\0",
                        command_elements(0x10, "QEXIT", "SHOW"));
        for (int i = 0; i < COMMANDS; ++i)
            if (plat::mailslot_write(inbox.c_str(), m.data(), m.size()) != plat::OK) return 2;
        return 0;
    });
    const size_t buffers_before = kavc::buffers_live();
    calls = 0;
    ASSERT_EQ(KaviInitialize("QEXIT", record_call), VULE_OK);
    EXPECT_EQ(peer.wait(10000), 0);
    // Each invocation logs its failed reply (the first one written, the others counted), then
    // releases the command's buffer.
    auto replies_failed = [&] {
        return calls.load() == COMMANDS &&
               kavitest::read_file(log).find("VulequetInvokeExit site=1320") != std::string::npos;
    };
    EXPECT_TRUE(kavitest::eventually(replies_failed, 10000));
    EXPECT_TRUE(
        kavitest::eventually([&] { return kavc::buffers_live() == buffers_before; }, 10000));
    EXPECT_EQ(KaviTerminate("QEXIT"), VULE_OK);
    EXPECT_EQ(kavc::buffers_live(), buffers_before);
    std::string errors = kavitest::read_file(log);
    EXPECT_EQ(errors.find("vulcfreemem"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("site=1337"), std::string::npos) << errors;
}

// Only the exit's own termination stops its queue thread: a stop element from a task of another
// process is ignored, and the exit goes on answering (and still terminates, in TearDown).
TEST_F(QueueThread, StopElementFromAnotherProcessLeavesTheExitRunning) {
    kavitest::Child peer =
        kavitest::Child::spawn({kavitest::executable_dir() + "/queue_thread_test",
                                "--gtest_filter=QueueThreadPeer.SendsAStopElement"},
                               {"KAVI_TEST_PEER_NODE=" + plat::node_name()}, "/dev/null");
    ASSERT_EQ(peer.wait(10000), 0);
    answered(16, 0x2345);
}

// The peer process of the test above: a task of its own sends QEXIT a stop element.
TEST(QueueThreadPeer, SendsAStopElement) {
    std::string node;
    if (!plat::env_get("KAVI_TEST_PEER_NODE", &node)) GTEST_SKIP() << "peer process only";
    setenv("KAVI_NODE", node.c_str(), 1);
    ASSERT_TRUE(task_started("QEXIT"));
    memcpy(kavi::local_node_address, node_of("QEXIT").data(), 24);
    Tool peer{"QPEER"};
    std::vector<uint8_t> stop;
    add_element(&stop, codec::STOP_ELEMENT_LENGTH, codec::TYPE_STOP, {});
    ASSERT_EQ(peer.send("QEXIT", stop), VULC_OK);
}

}  // namespace
