// load_traffic_test.cpp — volume and churn between real processes: a burst of commands to one
// exit, KaviSend after KaviSend between two processes, an exit registered and terminated a
// thousand times or in a loop while it is sent to, and threads of two processes calling each
// other's exits while one is cycled. Every command the transport accepted is answered exactly
// once, every call returns with its own answer, and nothing is left behind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "services/kavcacm/buffers.h"
#include "tests/load/load_support.h"

namespace {

using namespace load;

class Burst : public ::testing::TestWithParam<const char *> {};

// One answer for each of a thousand commands, in order when the exit runs one at a time.
TEST_P(Burst, EveryCommandAnsweredExactlyOnce) {
    constexpr uint16_t BURST = 1000;
    ExitProgram exit(kavitest::make_temp_dir(), {"BEXIT", GetParam()}, {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(exit.registered()) << exit.output();
    Server server;
    for (uint16_t n = 0; n < BURST; ++n) ASSERT_EQ(server.send("BEXIT", n), VULC_OK) << n;
    auto answers = server.collect(BURST, 60000);
    EXPECT_EQ(answers.size(), BURST);
    std::vector<uint16_t> in_order(BURST);
    for (uint16_t n = 0; n < BURST; ++n) {
        ASSERT_EQ(answers[n], std::vector<int>{exit_status(n)}) << "command " << n;
        in_order[n] = n;
    }
    if (std::string(GetParam()) == "0") {
        EXPECT_EQ(server.order(), in_order);
    }
    EXPECT_EQ(exit.stop(), 0) << exit.output();
}

INSTANTIATE_TEST_SUITE_P(RunMode, Burst, ::testing::Values("0", "1"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string("RunMode") + info.param;
                         });

TEST(Sends, TenThousandBetweenTwoProcessesAllAnsweredRight) {
    const std::string dir = kavitest::make_temp_dir();
    ExitProgram target(dir, {"STARGET", "0"});
    ASSERT_TRUE(target.registered()) << target.output();
    auto start = std::chrono::steady_clock::now();
    ExitProgram sender(dir, {"SSENDER", "0", "--send", "STARGET", "10000"});
    EXPECT_EQ(sender.child().wait(60000), 0) << sender.output();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_NE(sender.output().find("sent 10000 wrong 0"), std::string::npos) << sender.output();
    RecordProperty("milliseconds", static_cast<int>(elapsed / std::chrono::milliseconds(1)));
    EXPECT_EQ(target.stop(), 0) << target.output();
}

// cycle: registers the exit in the run mode, has one command answered, and terminates it.
void cycle(Server *server, uint16_t n) {
    ASSERT_EQ(KaviInit("CYCLE", numbered, n % 2), VULE_OK) << "cycle " << n;
    ASSERT_EQ(server->send("CYCLE", n), VULC_OK);
    ASSERT_EQ(server->collect(1, 5000, 0)[n], std::vector<int>{exit_status(n)}) << "cycle " << n;
    ASSERT_EQ(KaviTerminate("CYCLE"), uint32_t{VULE_OK}) << "cycle " << n;
}

// The process keeps the descriptors, threads and memory it had (LeakSanitizer, under
// AddressSanitizer, checks every allocation at the end).
TEST(Cycles, ThousandRegistrationsAndTerminationsLeaveNothingBehind) {
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    Server server;
    // The first cycles create what lives as long as the process: the library's mutexes, the
    // process-exit entry, the mailslot writer's state.
    for (uint16_t n = 0; n < 4; ++n) cycle(&server, n);
    // Threads of the last cycle may still be on their way out after their last act.
    plat::sleep_ms(200);
    const size_t running = threads();
    const size_t descriptors = open_descriptors();
    const long resident = resident_kib();

    for (uint16_t n = 4; n < 1004 && !HasFatalFailure(); ++n) cycle(&server, n);

    EXPECT_TRUE(kavitest::eventually([&] { return threads() <= running; }, 2000))
        << threads() << " threads, " << running << " before";
    EXPECT_EQ(open_descriptors(), descriptors);
    // Only a plain build can tell growth from a sanitizer's bookkeeping. A thread stack or a
    // receive scratch kept per cycle would add far more than this bound; smaller leaks are
    // LeakSanitizer's to find.
    const long grown = resident_kib() - resident;
    RecordProperty("resident_growth_kib", static_cast<int>(grown));
    if (!SANITIZED) {
        EXPECT_LT(grown, 2048) << resident << " KiB before";
    }
}

class Cycling : public ::testing::TestWithParam<uint32_t> {};

// One command at a time to an exit cycled meanwhile: what is still in the inbox when the exit
// ends gets 0x8001, and one that comes after the end is refused to its sender instead of being
// accepted and dropped.
TEST_P(Cycling, EveryAcceptedCommandIsAnsweredExactlyOnce) {
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    Server client("DCLIENT");
    ASSERT_EQ(KaviInit("cycled", numbered, GetParam()), VULE_OK);
    Cycler cycler("cycled", numbered, GetParam(), 2);
    int accepted = 0, refused = 0, ended = 0;
    // Commands are numbered by attempt; a refused one is simply not answered.
    for (uint16_t n = 1; (accepted < 150 || cycler.cycles < 40) && n < 60000; ++n) {
        uint32_t rc = client.send("CYCLED", n);
        if (rc == VULC_UNREACHABLE) {
            ++refused;
            continue;
        }
        ASSERT_EQ(rc, VULC_OK) << "send " << n;
        ++accepted;
        // A second answer to an earlier command would arrive here in place of this one's.
        uint16_t answered = 0;
        int status = 0;
        ASSERT_TRUE(client.next(5000, &answered, &status)) << "command " << n << " unanswered";
        ASSERT_EQ(answered, n) << "command " << n << " got the answer to another command";
        if (status == VULE_EXIT_ENDED)
            ++ended;
        else
            EXPECT_EQ(status, exit_status(n));
    }
    cycler.stop();
    uint16_t extra = 0;
    int status = 0;
    EXPECT_FALSE(client.next(300, &extra, &status)) << "an answer too many";
    EXPECT_EQ(cycler.failures.load(), 0);
    EXPECT_EQ(KaviTerminate("cycled"), uint32_t{VULE_OK});
    RecordProperty("accepted", accepted);
    RecordProperty("refused", refused);
    RecordProperty("ended", ended);
    RecordProperty("cycles", cycler.cycles.load());
    EXPECT_GE(accepted, 150);
    EXPECT_GE(cycler.cycles.load(), 40);
}

INSTANTIATE_TEST_SUITE_P(RunModes, Cycling, ::testing::Values(0u, 1u));

// 8 threads × 2 exits × 2 processes, all calling under one correlation to each other's exits and
// to a missing one while S1B is cycled: no buffer or wait-list entry (entries are buffers of the
// service too) is left behind.
TEST(Stress, EveryCallReturnsWithItsOwnAnswerAndNothingLeaks) {
    constexpr int TRAFFIC_MS = 3000, BOUND_MS = 20000;
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    const size_t buffers_before = kavc::buffers_live();
    ASSERT_EQ(KaviInit("S1A", stress_answer, 1), VULE_OK);
    ASSERT_EQ(KaviInit("S1B", stress_answer, 0), VULE_OK);
    const std::string out = kavitest::make_temp_dir() + "/peer.out";
    kavitest::Child peer = kavitest::Child::spawn(
        {kavitest::executable_dir() + "/load_exit", "--stress", std::to_string(TRAFFIC_MS)}, {},
        out);
    ASSERT_TRUE(kavitest::file_shows(out, "registered", BOUND_MS));

    Tally tally;
    std::atomic<bool> stop{false};
    Cycler cycler("S1B", stress_answer, 0, 0);
    std::vector<std::thread> threads =
        stress_traffic({"S1A     ", "S1B     "}, {"S1A", "S1B", "S2A", "S2B", "MISSING"},
                       {"S1B     "}, stop, &tally);
    plat::sleep_ms(TRAFFIC_MS);
    stop = true;
    if (!kavitest::eventually([&] { return tally.running == 0; }, BOUND_MS)) {
        ADD_FAILURE() << tally.running.load() << " threads still wait in KaviSend";
        std::_Exit(1);
    }
    for (std::thread &t : threads) t.join();
    cycler.stop();

    EXPECT_EQ(peer.wait(BOUND_MS), 0) << kavitest::read_file(out);
    EXPECT_EQ(tally.wrong.load(), 0);
    EXPECT_GT(tally.answered.load(), 0);
    EXPECT_GT(cycler.cycles.load(), 0);
    EXPECT_EQ(cycler.failures.load(), 0);
    EXPECT_EQ(KaviTerminate("S1A"), uint32_t{VULE_OK});
    EXPECT_EQ(KaviTerminate("S1B"), uint32_t{VULE_OK});
    EXPECT_EQ(kavc::buffers_live(), buffers_before);
    RecordProperty("calls", static_cast<int>(tally.calls.load()));
    RecordProperty("answered", static_cast<int>(tally.answered.load()));
    RecordProperty("ended", static_cast<int>(tally.ended.load()));
}

}  // namespace
