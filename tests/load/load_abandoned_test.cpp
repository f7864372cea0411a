// load_abandoned_test.cpp — a thread that ends inside the library while it holds one of its
// mutexes (here: a thread that takes the mutex and ends) must cost at most the one operation that
// meets the abandonment; every command is still answered exactly once and nothing blocks for ever.
// The wait-list mutex has its own test beside the wait list. Also: an exit function that ends its
// own thread mid-command, whose command the process-exit handler answers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <string>

#include "exit/exit_table.h"
#include "platform/platform.h"
#include "tests/load/load_support.h"

namespace {

using namespace load;

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *block) {
    return 0x1000u + block->correlation_id.numb;
}

// abandon: a thread of the platform takes the mutex and ends holding it.
void abandon(plat::Mutex *mutex) {
    static std::atomic<bool> taken;
    taken = false;
    ASSERT_EQ(plat::thread_start(
                  [](void *m) {
                      plat::mutex_acquire(static_cast<plat::Mutex *>(m));
                      taken = true;
                      plat::thread_end();
                  },
                  mutex),
              plat::OK);
    ASSERT_TRUE(kavitest::eventually([] { return taken.load(); }, 5000));
}

class Abandoned : public ::testing::Test {
  protected:
    void SetUp() override { setenv("KAVI_START_PAUSE_MS", "0", 1); }

    // answered: the server's commands `from` to `to` each answered once, with the exit's status
    // or the one given for it.
    void expect_answers(uint16_t from, uint16_t to, std::map<uint16_t, int> otherwise = {}) {
        auto answers = server_.collect(to - from + 1, 10000);
        for (uint16_t n = from; n <= to; ++n) {
            int expected = otherwise.count(n) != 0 ? otherwise[n] : exit_status(n);
            EXPECT_EQ(answers[n], std::vector<int>{expected}) << "command " << n;
        }
    }

    Server server_;
};

TEST_F(Abandoned, ExitTableMutexFailsOneRegistrationThenServesAsBefore) {
    ASSERT_EQ(KaviInit("EARLY", answer, 1), VULE_OK);  // the mutex exists from here on
    abandon(kavi::exit_table_mutex);
    EXPECT_EQ(KaviInit("ABEXIT", answer, 1), VULE_SYSTEM_ERROR);
    ASSERT_EQ(KaviInit("ABEXIT", answer, 1), VULE_OK);  // nothing of the failed one is left
    ASSERT_EQ(server_.send("ABEXIT", 1), VULC_OK);
    ASSERT_EQ(server_.send("EARLY", 2), VULC_OK);
    expect_answers(1, 2);
    EXPECT_EQ(KaviTerminate("ABEXIT"), uint32_t{VULE_OK});
    EXPECT_EQ(KaviTerminate("EARLY"), uint32_t{VULE_OK});
}

TEST_F(Abandoned, ActiveCommandMutexStillLetsTheCommandRunAndBeAnsweredOnce) {
    ASSERT_EQ(KaviInit("ABEXIT", answer, 1), VULE_OK);
    abandon(kavi::active_command_mutex);
    for (uint16_t n = 1; n <= 3; ++n) ASSERT_EQ(server_.send("ABEXIT", n), VULC_OK);
    expect_answers(1, 3);
    EXPECT_EQ(KaviTerminate("ABEXIT"), uint32_t{VULE_OK});
}

TEST_F(Abandoned, DispatcherMutexAnswersOneCommand8009AndTheStopStillArrives) {
    ASSERT_EQ(KaviInit("ABEXIT", answer, 0), VULE_OK);
    plat::Mutex *dispatcher = nullptr;
    for (const kavi::ExitSlot &slot : kavi::exit_table)
        if (std::strcmp(slot.name, "ABEXIT  ") == 0) dispatcher = slot.dispatcher_mutex;
    ASSERT_NE(dispatcher, nullptr);
    abandon(dispatcher);
    ASSERT_EQ(server_.send("ABEXIT", 1), VULC_OK);
    expect_answers(1, 1, {{1, VULE_NO_COMMAND_MEMORY}});
    for (uint16_t n = 2; n <= 4; ++n) ASSERT_EQ(server_.send("ABEXIT", n), VULC_OK);
    expect_answers(2, 4);
    EXPECT_EQ(KaviTerminate("ABEXIT"), uint32_t{VULE_OK});
}

TEST(ExitThreadEnds, ItsCommandIsAnsweredOnceAtProcessExitAndTheOthersRun) {
    std::string dir = kavitest::make_temp_dir();
    // The ended thread takes its invocation record and message with it, which LeakSanitizer
    // rightly reports; that loss is the exit function's doing, so the check is off here.
    // Terminated, the exit could no longer answer at all: the handler answers from its task.
    ExitProgram exit(dir, {"TEXIT", "1", "--no-terminate"},
                     {"KAVI_START_PAUSE_MS=0", "ASAN_OPTIONS=detect_leaks=0"});
    ASSERT_TRUE(exit.registered()) << exit.output();
    Server server;
    ASSERT_EQ(server.send("TEXIT", 1, "END"), VULC_OK);
    ASSERT_TRUE(kavitest::eventually(
        [&] { return exit.output().find("held 1") != std::string::npos; }, 10000));
    for (uint16_t n = 2; n <= 5; ++n) ASSERT_EQ(server.send("TEXIT", n), VULC_OK);
    auto answers = server.collect(4, 10000);
    EXPECT_EQ(answers.count(1), 0u);
    EXPECT_EQ(exit.stop(), 0) << exit.output();
    answers = server.collect(1, 10000);
    EXPECT_EQ(answers[1], std::vector<int>{VULE_EXIT_ENDED});
    for (uint16_t n = 2; n <= 5; ++n)
        EXPECT_EQ(answers[n], std::vector<int>{exit_status(n)}) << "command " << n;
}

}  // namespace
