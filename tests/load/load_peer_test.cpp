// load_peer_test.cpp — a peer process killed mid-command: the server that sent a command dies
// while the command runs, or the exit that a KaviSend waits on dies.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/load/load_support.h"

namespace {

using namespace load;

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *block) {
    return 0x1000u + block->correlation_id.numb;
}

// The exit's reply to a dead server cannot be sent; that is logged, nothing of the command is
// kept (under AddressSanitizer the exit's leak check says so), and the exit serves on.
TEST(PeerKilled, ServerDiesWhileItsCommandRuns) {
    std::string dir = kavitest::make_temp_dir();
    ExitProgram exit(dir, {"PEXIT", "1"}, {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(exit.registered()) << exit.output();
    // Forked while this process has no threads of its own yet.
    kavitest::Child server = kavitest::Child::fork_run([] {
        Server doomed("DOOMED");
        doomed.send("PEXIT", 1, "HOLD", "300");
        plat::sleep_ms(60000);
        return 0;
    });
    ASSERT_TRUE(kavitest::eventually(
        [&] { return exit.output().find("held 1") != std::string::npos; }, 10000));
    server.kill(SIGKILL);
    EXPECT_EQ(server.wait(5000), 128 + SIGKILL);

    ASSERT_TRUE(kavitest::eventually(
        [&] { return exit.error_log().find("VulequetInvokeExit site=1320") != std::string::npos; },
        10000))
        << exit.error_log();
    Server living;
    for (uint16_t n = 2; n <= 4; ++n) ASSERT_EQ(living.send("PEXIT", n), VULC_OK);
    auto answers = living.collect(3, 10000);
    EXPECT_EQ(answers.size(), 3u);
    for (uint16_t n = 2; n <= 4; ++n)
        EXPECT_EQ(answers[n], std::vector<int>{exit_status(n)}) << "command " << n;
    EXPECT_EQ(exit.stop(), 0) << exit.output();
}

// A KaviSend has no time-out of its own: when the target's process dies, no answer ever comes,
// and the call waits until its calling exit ends, which wakes it with 0x8001.
TEST(PeerKilled, TargetDiesWhileAKaviSendWaitsForIt) {
    std::string dir = kavitest::make_temp_dir();
    ExitProgram target(dir, {"PTARGET", "1"}, {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(target.registered()) << target.output();
    ASSERT_EQ(KaviInit("PCALLER", answer, 1), VULE_OK);

    std::promise<uint32_t> done;
    std::future<uint32_t> result = done.get_future();
    std::thread caller([&] {
        _VULE_PARAMETERS32 block{};
        char command[] = "HOLD";
        char milliseconds[] = "60000";
        block.command_name = command;
        block.command_string = milliseconds;
        block.correlation_id.numb = 7;
        done.set_value(KaviSend("PCALLER ", "PTARGET", " ", &block));
    });
    ASSERT_TRUE(kavitest::eventually(
        [&] { return target.output().find("held 7") != std::string::npos; }, 10000));
    target.child().kill(SIGKILL);
    EXPECT_EQ(target.child().wait(5000), 128 + SIGKILL);

    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "KaviSend still waits after its exit ended";
        std::_Exit(1);
    }
    EXPECT_EQ(result.get(), uint32_t{VULE_EXIT_ENDED});
    caller.join();
}

}  // namespace
