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

#include "tests/load/load_support.h"

namespace {

using namespace load;

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

// The target exit PTARGET runs in a process of its own.
class PeerKilled : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(target_.registered()) << target_.output(); }
    void kill_target() {
        target_.child().kill(SIGKILL);
        EXPECT_EQ(target_.child().wait(5000), 128 + SIGKILL);
    }
    ExitProgram target_{kavitest::make_temp_dir(), {"PTARGET", "1"}, {"KAVI_START_PAUSE_MS=0"}};
};
using PeerBusy = PeerKilled;

// The exit's reply to a dead server cannot be sent; that is logged, nothing of the command is
// kept (under AddressSanitizer the exit's leak check says so), and the exit serves on.
TEST_F(PeerKilled, ServerDiesWhileItsCommandRuns) {
    // Forked while this process has no threads of its own yet.
    kavitest::Child server = kavitest::Child::fork_run([] {
        Server doomed("DOOMED");
        doomed.send("PTARGET", 1, "HOLD", "300");
        plat::sleep_ms(60000);
        return 0;
    });
    ASSERT_TRUE(target_.shows("held 1"));
    server.kill(SIGKILL);
    EXPECT_EQ(server.wait(5000), 128 + SIGKILL);
    ASSERT_TRUE(kavitest::eventually(
        [&] {
            return target_.error_log().find("VulequetInvokeExit site=1320") != std::string::npos;
        },
        10000))
        << target_.error_log();
    Server living;
    for (uint16_t n = 2; n <= 4; ++n) ASSERT_EQ(living.send("PTARGET", n), VULC_OK);
    auto answers = living.collect(3, 10000);
    EXPECT_EQ(answers.size(), 3u);
    for (uint16_t n = 2; n <= 4; ++n)
        EXPECT_EQ(answers[n], std::vector<int>{exit_status(n)}) << "command " << n;
    EXPECT_EQ(target_.stop(), 0) << target_.output();
}

// A KaviSend has no time-out of its own, but it does not outlive its target: once the target's
// process is gone, no answer can come, and the call ends with 0x8001 while its exit lives on.
TEST_F(PeerKilled, TargetDiesWhileAKaviSendWaitsForIt) {
    ASSERT_EQ(KaviInit("PCALLER", numbered, 1), VULE_OK);
    HoldingCall call("60000");
    ASSERT_TRUE(target_.shows("held 7"));
    kill_target();
    EXPECT_EQ(call.result(), uint32_t{VULE_EXIT_ENDED});
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
}

// A new process that registers the target's name is another task: it never got the command.
TEST_F(PeerKilled, TargetReplacedUnderItsNameStillEndsTheCall) {
    ASSERT_EQ(KaviInit("PCALLER", numbered, 1), VULE_OK);
    plat::pause_arm(plat::Pause::send_watching);
    HoldingCall call("60000");
    ASSERT_TRUE(target_.shows("held 7"));
    // The waiting call knows which task got its command; the replacement starts meanwhile.
    ASSERT_TRUE(plat::pause_reached(plat::Pause::send_watching, 10000));
    kill_target();
    ExitProgram replacement(kavitest::make_temp_dir(), {"PTARGET", "1"});
    ASSERT_TRUE(replacement.registered()) << replacement.output();
    plat::pause_release(plat::Pause::send_watching);
    EXPECT_EQ(call.result(), uint32_t{VULE_EXIT_ENDED});
    EXPECT_EQ(replacement.stop(), 0) << replacement.output();
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
}

// A target that is alive and busy is waited for, however many times the call looks.
TEST_F(PeerBusy, ACallWaitsForItsTargetAsLongAsTheTargetLives) {
    ASSERT_EQ(KaviInit("PCALLER", numbered, 1), VULE_OK);
    HoldingCall call("1500");
    EXPECT_EQ(call.result(), 0x1007u);
    EXPECT_EQ(target_.stop(), 0) << target_.output();
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
}

}  // namespace
