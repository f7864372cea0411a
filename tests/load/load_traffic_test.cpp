// load_traffic_test.cpp — volume between real processes: a burst of commands to one exit, every
// one answered exactly once (in order in run mode 0), and KaviSend after KaviSend from an exit in
// one process to an exit in another, every answer right.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/load/load_support.h"

namespace {

using namespace load;

constexpr uint16_t BURST = 1000;
constexpr int SENDS = 10000;

class Burst : public ::testing::TestWithParam<const char *> {};

TEST_P(Burst, EveryCommandAnsweredExactlyOnce) {
    const bool serial = std::string(GetParam()) == "0";
    std::string dir = kavitest::make_temp_dir();
    ExitProgram exit(dir, {"BEXIT", GetParam()}, {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(exit.registered()) << exit.output();
    Server server;
    for (uint16_t n = 0; n < BURST; ++n) ASSERT_EQ(server.send("BEXIT", n), VULC_OK) << n;
    auto answers = server.collect(BURST, 60000);
    EXPECT_EQ(answers.size(), BURST);
    for (uint16_t n = 0; n < BURST; ++n)
        ASSERT_EQ(answers[n], std::vector<int>{exit_status(n)}) << "command " << n;
    if (serial) {
        std::vector<uint16_t> in_order(BURST);
        for (uint16_t n = 0; n < BURST; ++n) in_order[n] = n;
        EXPECT_EQ(server.order(), in_order);
    }
    EXPECT_EQ(exit.stop(), 0) << exit.output();
}

INSTANTIATE_TEST_SUITE_P(RunMode, Burst, ::testing::Values("0", "1"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string("RunMode") + info.param;
                         });

TEST(Sends, TenThousandBetweenTwoProcessesAllAnsweredRight) {
    std::string dir = kavitest::make_temp_dir();
    ExitProgram target(dir, {"STARGET", "0"});
    ASSERT_TRUE(target.registered()) << target.output();
    auto start = std::chrono::steady_clock::now();
    ExitProgram sender(dir, {"SSENDER", "0", "--send", "STARGET", std::to_string(SENDS)});
    EXPECT_EQ(sender.child().wait(60000), 0) << sender.output();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_NE(sender.output().find("sent " + std::to_string(SENDS) + " wrong 0"), std::string::npos)
        << sender.output();
    RecordProperty("milliseconds", static_cast<int>(ms));
    EXPECT_EQ(target.stop(), 0) << target.output();
}

}  // namespace
