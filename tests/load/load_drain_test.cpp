// load_drain_test.cpp — an exit terminated and registered again in a loop while a client sends
// one command at a time: every command the transport accepted is answered exactly once (what
// is still in the inbox when the exit ends gets 0x8001), and one that comes after the end is
// refused to its sender instead of being accepted and dropped.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kaviexit.h"
#include "platform/platform.h"
#include "tests/load/load_support.h"

namespace {

using namespace load;

uint32_t KAVI_CALL numbered(_VULE_PARAMETERS32 *block) {
    return static_cast<uint32_t>(exit_status(block->correlation_id.numb));
}

class Cycling : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Cycling, EveryAcceptedCommandIsAnsweredExactlyOnce) {
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    ASSERT_EQ(KaviInit("cycled", numbered, GetParam()), VULE_OK);
    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    std::atomic<int> failures{0};
    std::thread cycler([&] {
        while (!stop) {
            if (KaviTerminate("cycled") != VULE_OK) ++failures;
            if (KaviInit("cycled", numbered, GetParam()) != VULE_OK) ++failures;
            ++cycles;
            plat::sleep_ms(2);  // the exit serves a while before it ends again
        }
    });

    lifecycle::Tool client("DCLIENT");
    int accepted = 0;
    int refused = 0;
    int ended = 0;
    // Commands are numbered by attempt; a refused one is simply not answered.
    for (uint16_t n = 1; (accepted < 150 || cycles < 40) && n < 60000; ++n) {
        std::vector<uint8_t> elements;
        lifecycle::add_block(&elements, correlation_for(n), "CYCLED");
        lifecycle::add_text(&elements, 2, "LOAD");
        uint32_t rc = client.send("CYCLED", elements);
        if (rc == VULC_UNREACHABLE) {
            ++refused;
            continue;
        }
        if (rc != VULC_OK) {
            ADD_FAILURE() << "send " << n << ": " << rc;
            break;
        }
        ++accepted;
        // A second answer to an earlier command would arrive here in place of this one's.
        std::vector<uint8_t> reply = client.receive(5000);
        if (reply.empty()) {
            ADD_FAILURE() << "command " << n << " was accepted but never answered";
            break;
        }
        uint32_t correlation = 0;
        int status = lifecycle::reply_status(reply, &correlation);
        if (correlation != correlation_for(n)) {
            ADD_FAILURE() << "command " << n << " got the answer to another command";
            break;
        }
        if (status == VULE_EXIT_ENDED)
            ++ended;
        else
            EXPECT_EQ(status, exit_status(n));
    }
    stop = true;
    cycler.join();
    EXPECT_TRUE(client.receive(300).empty()) << "an answer too many";
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(KaviTerminate("cycled"), uint32_t{VULE_OK});
    RecordProperty("accepted", accepted);
    RecordProperty("refused", refused);
    RecordProperty("ended", ended);
    RecordProperty("cycles", cycles.load());
    EXPECT_GE(accepted, 150);
    EXPECT_GE(cycles.load(), 40);
}

INSTANTIATE_TEST_SUITE_P(RunModes, Cycling, ::testing::Values(0u, 1u));

}  // namespace
