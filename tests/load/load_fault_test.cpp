// load_fault_test.cpp — every fault seam in an exit process of its own: a server here sends
// numbered commands, each must be answered exactly once (by the exit, or with the library's own
// status where the fault leaves no other way), and the exit program must end cleanly, which under
// AddressSanitizer includes its leak check.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/load/load_support.h"

namespace {

using namespace load;

constexpr uint16_t COMMANDS = 20;
constexpr int NO_ANSWER = -1;

struct Seam {
    const char *label;
    const char *run_mode;
    // The seam's calls are counted from the program's start. Before the first command the
    // allocation point sees the task's receive scratch and the queue start record (run mode 0
    // also the dispatcher's start and stop records); each command then allocates its receive
    // buffer and its invocation record (run mode 0 also its work-list node).
    const char *faults;
    std::map<uint16_t, int> otherwise;  // commands not answered by the exit function
    const char *logged;                 // what the exit program's error log must show
    bool retried_registration;
};

void PrintTo(const Seam &seam, std::ostream *os) {
    *os << seam.label;
}

class FaultSeam : public ::testing::TestWithParam<Seam> {};

TEST_P(FaultSeam, EveryCommandAnsweredExactlyOnceAndTheExitEndsCleanly) {
    const Seam &seam = GetParam();
    std::string dir = kavitest::make_temp_dir();
    ExitProgram exit(dir, {"FEXIT", seam.run_mode},
                     {std::string("KAVI_FAULTS=") + seam.faults, "KAVI_START_PAUSE_MS=1"});
    ASSERT_TRUE(exit.registered()) << exit.output();
    EXPECT_EQ(exit.output().find("init failed") != std::string::npos, seam.retried_registration)
        << exit.output();

    Server server;
    for (uint16_t n = 0; n < COMMANDS; ++n) ASSERT_EQ(server.send("FEXIT", n), VULC_OK);
    size_t lost = 0;
    for (const auto &[n, status] : seam.otherwise) lost += status == NO_ANSWER;
    auto answers = server.collect(COMMANDS - lost, 20000);

    for (uint16_t n = 0; n < COMMANDS; ++n) {
        auto special = seam.otherwise.find(n);
        if (special != seam.otherwise.end() && special->second == NO_ANSWER) {
            EXPECT_EQ(answers.count(n), 0u) << "command " << n;
            continue;
        }
        int expected = special != seam.otherwise.end() ? special->second : exit_status(n);
        EXPECT_EQ(answers[n], std::vector<int>{expected}) << "command " << n;
    }
    EXPECT_EQ(exit.stop(), 0) << exit.output();
    EXPECT_NE(exit.error_log().find(seam.logged), std::string::npos) << exit.error_log();
}

INSTANTIATE_TEST_SUITE_P(
    Seams, FaultSeam,
    ::testing::Values(
        // The receive buffer: the message stays with the service and is received again.
        Seam{"ReceiveBuffer", "1", "alloc:2:1", {}, "VuleQueThread site=440 code=8", false},
        Seam{"InvocationRecord", "1", "alloc:3:1", {{0, 0x8009}}, "VuleQueThread site=520", false},
        Seam{"WorkListNode",
             "0",
             "alloc:6:1",
             {{0, 0x8009}},
             "VuleSingleThreadPost site=153",
             false},
        Seam{"InvocationThread",
             "1",
             "thread_start:1:60",
             {{0, 0x800A}},
             "VuleQueThread site=530",
             false},
        // Without its dispatcher an exit in run mode 0 answers every command it gets.
        Seam{"DispatcherThread",
             "0",
             "thread_start:1:1",
             {{0, 0x800A},  {1, 0x800A},  {2, 0x800A},  {3, 0x800A},  {4, 0x800A},
              {5, 0x800A},  {6, 0x800A},  {7, 0x800A},  {8, 0x800A},  {9, 0x800A},
              {10, 0x800A}, {11, 0x800A}, {12, 0x800A}, {13, 0x800A}, {14, 0x800A},
              {15, 0x800A}, {16, 0x800A}, {17, 0x800A}, {18, 0x800A}, {19, 0x800A}},
             "VuleQueThread site=410",
             false},
        // A reply that cannot be sent is logged; the exit goes on with the next command.
        Seam{"ReplySend",
             "0",
             "mailslot_write:2:1",
             {{2, NO_ANSWER}},
             "VulequetInvokeExit site=1320",
             false},
        // Registration seams: the failed registration gives back what it made (its mailslot
        // above all), so the retry succeeds.
        Seam{"TaskMailslot", "1", "mailslot_create:1:1", {}, "KaviInit site=150", true},
        Seam{"SlotEvent", "0", "event_create:1:1", {}, "KaviInit site=200", true},
        Seam{"DispatcherMutex", "0", "mutex_create:1:1", {}, "KaviInit site=200", true},
        Seam{"ProcessMutex", "1", "mutex_create:1:1", {}, "KaviInit site=210", true}),
    [](const ::testing::TestParamInfo<Seam> &info) { return std::string(info.param.label); });

}  // namespace
