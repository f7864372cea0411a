// load_stress_test.cpp — 8 threads × 2 exits × 2 processes, all calling under one correlation
// to each other's exits and to a missing one while one exit is terminated and registered again
// in a loop: every call returns, every answer reaches the call whose command it answers, and no
// buffer or wait-list entry (entries are buffers of the service too) is left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "services/kavcacm/buffers.h"
#include "tests/load/stress_support.h"
#include "tests/support/child_process.h"

namespace {

constexpr int TRAFFIC_MS = 3000;
constexpr int BOUND_MS = 20000;

TEST(Stress, EveryCallReturnsWithItsOwnAnswerAndNothingLeaks) {
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    const size_t buffers_before = kavc::buffers_live();
    ASSERT_EQ(KaviInit("S1A", stress::answer, 1), VULE_OK);
    ASSERT_EQ(KaviInit("S1B", stress::answer, 0), VULE_OK);
    std::string dir = kavitest::make_temp_dir();
    kavitest::Child peer = kavitest::Child::spawn(
        {kavitest::executable_dir() + "/stress_peer", std::to_string(TRAFFIC_MS)}, {},
        dir + "/peer.out");
    ASSERT_TRUE(kavitest::eventually(
        [&] {
            return kavitest::read_file(dir + "/peer.out").find("registered") != std::string::npos;
        },
        BOUND_MS));

    stress::Tally tally;
    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    std::atomic<int> cycle_failures{0};
    std::thread cycler([&] {
        while (!stop) {
            if (KaviTerminate("S1B") != VULE_OK) ++cycle_failures;
            if (KaviInit("S1B", stress::answer, 0) != VULE_OK) ++cycle_failures;
            ++cycles;
        }
    });
    std::vector<std::thread> threads =
        stress::traffic({"S1A     ", "S1B     "}, {"S1A", "S1B", "S2A", "S2B", "MISSING"},
                        {"S1B     "}, stop, &tally);
    plat::sleep_ms(TRAFFIC_MS);
    stop = true;
    if (!kavitest::eventually([&] { return tally.running == 0; }, BOUND_MS)) {
        ADD_FAILURE() << tally.running.load() << " threads still wait in KaviSend";
        std::_Exit(1);
    }
    for (std::thread &t : threads) t.join();
    cycler.join();

    EXPECT_EQ(peer.wait(BOUND_MS), 0) << kavitest::read_file(dir + "/peer.out");
    EXPECT_EQ(tally.wrong.load(), 0);
    EXPECT_GT(tally.answered.load(), 0);
    EXPECT_GT(cycles.load(), 0);
    EXPECT_EQ(cycle_failures.load(), 0);
    EXPECT_EQ(KaviTerminate("S1A"), uint32_t{VULE_OK});
    EXPECT_EQ(KaviTerminate("S1B"), uint32_t{VULE_OK});
    EXPECT_EQ(kavc::buffers_live(), buffers_before);
    RecordProperty("calls", static_cast<int>(tally.calls.load()));
    RecordProperty("answered", static_cast<int>(tally.answered.load()));
    RecordProperty("ended", static_cast<int>(tally.ended.load()));
}

}  // namespace
