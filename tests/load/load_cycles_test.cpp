// load_cycles_test.cpp — a thousand register/terminate cycles, each with a command answered, must
// leave the process with the descriptors, threads and memory it had (LeakSanitizer, under
// AddressSanitizer, checks every allocation at the end).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/platform.h"
#include "tests/load/load_support.h"

namespace {

using namespace load;

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *block) {
    return 0x1000u + block->correlation_id.numb;
}

// cycle: registers the exit in the run mode, has one command answered, and terminates it.
void cycle(Server *server, uint16_t n) {
    uint32_t run_mode = n % 2;
    ASSERT_EQ(KaviInit("CYCLE", answer, run_mode), VULE_OK) << "cycle " << n;
    ASSERT_EQ(server->send("CYCLE", n), VULC_OK);
    auto answers = server->collect(1, 5000, 0);
    ASSERT_EQ(answers[n], std::vector<int>{exit_status(n)}) << "cycle " << n;
    ASSERT_EQ(KaviTerminate("CYCLE"), uint32_t{VULE_OK}) << "cycle " << n;
}

TEST(Cycles, ThousandRegistrationsAndTerminationsLeaveNothingBehind) {
    const uint16_t cycles = 1000;
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

    for (uint16_t n = 4; n < cycles + 4 && !HasFatalFailure(); ++n) cycle(&server, n);

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

}  // namespace
