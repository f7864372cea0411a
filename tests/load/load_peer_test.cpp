// load_peer_test.cpp — a peer process killed mid-command: the server that sent a command dies
// while the command runs, or the exit that a KaviSend waits on dies (or is replaced); and a
// target that merely takes long.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
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

// HoldingCall: a KaviSend from PCALLER that asks PTARGET to hold command 7 for `ms`.
class HoldingCall {
  public:
    explicit HoldingCall(const char *ms) {
        std::strncpy(milliseconds_, ms, sizeof milliseconds_ - 1);
        thread_ = std::thread([this] {
            _VULE_PARAMETERS32 block{};
            block.command_name = command_;
            block.command_string = milliseconds_;
            block.correlation_id.numb = 7;
            done_.set_value(KaviSend("PCALLER ", "PTARGET", " ", &block));
        });
    }
    ~HoldingCall() { thread_.join(); }
    // result: the call's result; one that does not return within 5 s ends the test process.
    uint32_t result() {
        if (result_.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "KaviSend still waits for its target";
            std::_Exit(1);
        }
        return result_.get();
    }

  private:
    char command_[5] = "HOLD";
    char milliseconds_[8] = {};
    std::promise<uint32_t> done_;
    std::future<uint32_t> result_ = done_.get_future();
    std::thread thread_;
};

bool holds(ExitProgram &target) {
    return kavitest::eventually([&] { return target.output().find("held 7") != std::string::npos; },
                                10000);
}

// A KaviSend has no time-out of its own, but it does not outlive its target: once the target's
// process is gone, no answer can come, and the call ends with 0x8001 while its exit lives on.
TEST(PeerKilled, TargetDiesWhileAKaviSendWaitsForIt) {
    std::string dir = kavitest::make_temp_dir();
    ExitProgram target(dir, {"PTARGET", "1"}, {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(target.registered()) << target.output();
    ASSERT_EQ(KaviInit("PCALLER", answer, 1), VULE_OK);
    HoldingCall call("60000");
    ASSERT_TRUE(holds(target));
    target.child().kill(SIGKILL);
    EXPECT_EQ(target.child().wait(5000), 128 + SIGKILL);
    EXPECT_EQ(call.result(), uint32_t{VULE_EXIT_ENDED});
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
}

// A new process that registers the target's name is another task: it never got the command.
TEST(PeerKilled, TargetReplacedUnderItsNameStillEndsTheCall) {
    std::string dir = kavitest::make_temp_dir();
    ExitProgram target(dir, {"PTARGET", "1"}, {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(target.registered()) << target.output();
    ASSERT_EQ(KaviInit("PCALLER", answer, 1), VULE_OK);
    plat::pause_arm(plat::Pause::send_watching);
    HoldingCall call("60000");
    ASSERT_TRUE(holds(target));
    // The waiting call knows which task got its command; the replacement starts meanwhile.
    ASSERT_TRUE(plat::pause_reached(plat::Pause::send_watching, 10000));
    target.child().kill(SIGKILL);
    EXPECT_EQ(target.child().wait(5000), 128 + SIGKILL);
    ExitProgram replacement(kavitest::make_temp_dir(), {"PTARGET", "1"});
    ASSERT_TRUE(replacement.registered()) << replacement.output();
    plat::pause_release(plat::Pause::send_watching);
    EXPECT_EQ(call.result(), uint32_t{VULE_EXIT_ENDED});
    EXPECT_EQ(replacement.stop(), 0) << replacement.output();
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
}

// A target that is alive and busy is waited for, however many times the call looks.
TEST(PeerBusy, ACallWaitsForItsTargetAsLongAsTheTargetLives) {
    std::string dir = kavitest::make_temp_dir();
    ExitProgram target(dir, {"PTARGET", "1"}, {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(target.registered()) << target.output();
    ASSERT_EQ(KaviInit("PCALLER", answer, 1), VULE_OK);
    HoldingCall call("1500");
    EXPECT_EQ(call.result(), 0x1007u);
    EXPECT_EQ(target.stop(), 0) << target.output();
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
}

}  // namespace
