// registration_test.cpp — KaviInitialize and KaviInit: argument checks, the outcomes of each
// failing step, the exit table's 64 slots, and the trace and error-log records of a lifecycle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "exit/exit_table.h"
#include "kaviexit.h"
#include "platform/platform.h"
#include "services/kavzras/record.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace lifecycle;

uint32_t KAVI_CALL do_nothing(_VULE_PARAMETERS32 *) {
    return 0;
}

bool exit_mailslot(const std::string &name) {
    return plat::mailslot_exists(("\\\\.\\MAILSLOT\\VULEQUEUE" + name).c_str());
}

TEST(Registration, InvalidArgumentsCreateNothing) {
    EXPECT_EQ(KaviInitialize(nullptr, do_nothing), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviInitialize("", do_nothing), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviInitialize("ABCDEFGHI", do_nothing), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviInit("ABC", nullptr, 0), VULE_INVALID_ARGUMENT);
    EXPECT_EQ(KaviInit(reinterpret_cast<const char *>(8), do_nothing, 1), VULE_INVALID_ARGUMENT);
    EXPECT_FALSE(exit_mailslot("ABCDEFGHI"));
    EXPECT_FALSE(exit_mailslot("ABC"));
    EXPECT_FALSE(task_started("ABC"));
    EXPECT_EQ(kavi::exit_table[0].name[0], '\0');
}

// A node name longer than a node address would be cut, and two nodes whose names differ only
// beyond it would become one: such a name is refused before anything is created.
TEST(Registration, NodeNameLongerThan24CharactersIsRefused) {
    const std::string node(24, 'N');
    kavitest::Child longer = kavitest::Child::fork_run([node] {
        setenv("KAVI_NODE", (node + "X  ").c_str(), 1);
        if (KaviInitialize("ABC", do_nothing) != VULE_NOT_CREATED) return 1;
        if (exit_mailslot("ABC") || task_started("ABC")) return 2;
        return 0;
    });
    EXPECT_EQ(longer.wait(10000), 0);
    // 24 characters and trailing blanks are the padded address itself: accepted.
    kavitest::Child fits = kavitest::Child::fork_run([node] {
        setenv("KAVI_NODE", (node + "   ").c_str(), 1);
        if (KaviInitialize("ABC", do_nothing) != VULE_OK) return 1;
        return KaviTerminate("ABC") == VULE_OK ? 0 : 2;
    });
    EXPECT_EQ(fits.wait(10000), 0);
}

TEST(Registration, NameIsUpperCasedAndPadded) {
    ASSERT_EQ(KaviInitialize("abc", do_nothing), VULE_OK);
    ASSERT_EQ(KaviInitialize("abcdefgh", do_nothing), VULE_OK);
    EXPECT_EQ(slot_view(0).name, "ABC     ");
    EXPECT_EQ(slot_view(1).name, "ABCDEFGH");
    EXPECT_TRUE(exit_mailslot("ABC"));
    EXPECT_TRUE(exit_mailslot("ABCDEFGH"));
    EXPECT_TRUE(task_started("ABC"));
    std::string node = plat::node_name();
    node.resize(24, ' ');
    EXPECT_EQ(std::string(kavi::local_node_address, 24), node);
}

TEST(Registration, RunModeDecidesTheDispatcherObjects) {
    ASSERT_EQ(KaviInit("ONE", do_nothing, 1), VULE_OK);
    ASSERT_EQ(KaviInit("ZERO", do_nothing, 0), VULE_OK);
    SlotView one = slot_view(0);
    EXPECT_TRUE(one.queue_ended);
    EXPECT_FALSE(one.dispatcher_mutex);
    EXPECT_FALSE(one.work_posted);
    SlotView zero = slot_view(1);
    EXPECT_TRUE(zero.queue_ended);
    EXPECT_TRUE(zero.dispatcher_mutex);
    EXPECT_TRUE(zero.work_posted);
}

// A mailslot of the exit's name held by another process of the node: 1, and the communication
// service is never asked (so the name is not started as a task).
TEST(Registration, MailslotOfAnotherProcessReturns1) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    kavitest::Child holder = kavitest::Child::fork_run([&] {
        close(done[1]);
        plat::Mailslot *m = nullptr;
        char byte = plat::mailslot_create("\\\\.\\MAILSLOT\\VULEQUEUEBUSY", &m) == 0 ? 1 : 0;
        (void)!write(ready[1], &byte, 1);
        (void)!read(done[0], &byte, 1);  // until the parent closes its end
        return 0;
    });
    close(ready[1]);
    close(done[0]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    EXPECT_EQ(KaviInitialize("busy", do_nothing), VULE_NOT_CREATED);
    EXPECT_FALSE(task_started("BUSY"));
    close(done[1]);
    EXPECT_EQ(holder.wait(10000), 0);
    close(ready[0]);
    EXPECT_EQ(KaviInitialize("busy", do_nothing), VULE_OK);
}

// A name already started as a task (here a tool's): 1, and the tool's task is not stopped.
TEST(Registration, NameStartedAsTaskReturns1WithoutStoppingIt) {
    Tool tool("TAKEN");
    EXPECT_EQ(KaviInitialize("taken", do_nothing), VULE_NOT_CREATED);
    EXPECT_TRUE(task_started("TAKEN"));
    EXPECT_FALSE(exit_mailslot("TAKEN"));
    EXPECT_EQ(kavi::exit_table[0].name[0], '\0');
}

// The service cannot start the task (its inbox cannot be created): 7, nothing left behind.
TEST(Registration, ServiceFailureReturns7AndLeavesNothing) {
    plat::fault_arm(plat::Fault::mailslot_create, 1, 1);  // the exit's mailslot passes
    EXPECT_EQ(KaviInitialize("NOINBOX", do_nothing), VULE_SYSTEM_ERROR);
    plat::fault_clear();
    EXPECT_FALSE(exit_mailslot("NOINBOX"));
    EXPECT_FALSE(task_started("NOINBOX"));
    EXPECT_EQ(KaviInitialize("NOINBOX", do_nothing), VULE_OK);
    EXPECT_EQ(slot_view(0).name, "NOINBOX ");
}

// A failure after the slot was claimed gives the slot back and stops the task.
TEST(Registration, FailureAfterClaimGivesTheSlotBack) {
    plat::fault_arm(plat::Fault::event_create, 0, 1);
    EXPECT_EQ(KaviInit("NOEVENT", do_nothing, 0), VULE_SYSTEM_ERROR);
    plat::fault_arm(plat::Fault::thread_start, 0, 1);
    EXPECT_EQ(KaviInit("NOTHREAD", do_nothing, 1), VULE_SYSTEM_ERROR);
    plat::fault_clear();
    SlotView view = slot_view(0);
    EXPECT_EQ(view.name, "");
    EXPECT_FALSE(view.queue_ended);
    EXPECT_FALSE(task_started("NOEVENT"));
    EXPECT_FALSE(task_started("NOTHREAD"));
    EXPECT_FALSE(exit_mailslot("NOTHREAD"));
    ASSERT_EQ(KaviInit("NOTHREAD", do_nothing, 1), VULE_OK);
    EXPECT_EQ(slot_view(0).name, "NOTHREAD");
}

TEST(Registration, SixtyFourSlotsThenSeven) {
    for (int i = 0; i < 64; ++i) {
        std::string name = "R" + std::to_string(i);
        ASSERT_EQ(KaviInitialize(name.c_str(), do_nothing), VULE_OK) << name;
    }
    EXPECT_EQ(slot_view(63).name, pad("R63"));
    EXPECT_EQ(KaviInitialize("R64", do_nothing), VULE_SYSTEM_ERROR);
    EXPECT_FALSE(task_started("R64"));
    EXPECT_FALSE(exit_mailslot("R64"));
    // A freed slot is taken before any higher one.
    ASSERT_EQ(KaviTerminate("R5"), VULE_OK);
    ASSERT_EQ(KaviInitialize("R64", do_nothing), VULE_OK);
    EXPECT_EQ(slot_view(5).name, pad("R64"));
}

// Run in a child process whose environment turns tracing on before the library loads.
TEST(RegistrationChild, DISABLED_TracedLifecycle) {
    ASSERT_EQ(KaviInitialize("trc", do_nothing), VULE_OK);
    ASSERT_EQ(KaviInitialize(nullptr, do_nothing), VULE_INVALID_ARGUMENT);
    ASSERT_EQ(KaviTerminate("trc"), VULE_OK);
    ASSERT_EQ(KaviInit("serial", do_nothing, 0), VULE_OK);
    ASSERT_EQ(KaviTerminate("serial"), VULE_OK);
    ASSERT_EQ(KaviWait("W", 0), VULE_WAIT_TIMEOUT);
}

TEST(Registration, TraceAndErrorLogRecords) {
    std::string dir = kavitest::make_temp_dir();
    kavitest::Child child = kavitest::Child::spawn(
        {"/proc/self/exe", "--gtest_filter=RegistrationChild.DISABLED_TracedLifecycle",
         "--gtest_also_run_disabled_tests"},
        {"KAVZ_TRACE_FILE=" + dir + "/trace", "KAVZ_TRACE_MASK=0x700",
         "KAVZ_ERRLOG=" + dir + "/errlog"},
        dir + "/stdout");
    ASSERT_EQ(child.wait(30000), 0) << kavitest::read_file(dir + "/stdout");

    std::string trace = kavitest::read_file(dir + "/trace");
    kavz::TraceScan scan = kavz::scan_records(trace);
    std::vector<std::string> calls;
    std::map<std::string, int> threads;
    std::vector<std::string> init_results;
    for (const kavz::TraceRecord &r : scan.records) {
        std::string function(r.function);
        if (r.component != "KAVI") continue;
        std::string seen = function + ":" + std::to_string(r.kind) + ":" + std::to_string(r.line);
        // Records of the queue threads and the dispatcher interleave with the calls'.
        if (function == "VuleQueThread" || function.rfind("VuleSingleThread", 0) == 0) {
            ++threads[seen];
        } else if (function == "DllMain" || function.rfind("Kavi", 0) == 0) {
            calls.push_back(seen);
        }
        if (seen == "KaviInit:2:300" && r.item_count >= 2 && r.items[0].bytes.size() == 2) {
            init_results.push_back(std::to_string(r.items[0].bytes[0]) + "," +
                                   std::string(r.items[1].bytes));
        }
    }
    std::vector<std::string> expected = {
        "DllMain:1:20",        "KaviInitialize:1:50", "KaviInit:1:100",      "KaviInit:2:300",
        "KaviInitialize:2:70", "KaviInitialize:1:50", "KaviInit:1:100",      "KaviInit:2:300",
        "KaviInitialize:2:70", "KaviTerminate:1:760", "KaviTerminate:2:990", "KaviInit:1:100",
        "KaviInit:2:300",      "KaviTerminate:1:760", "KaviTerminate:2:990", "KaviWait:1:710",
        "KaviWait:2:730",      "DllMain:1:40"};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(init_results, (std::vector<std::string>{"0,trc", "2,", "0,serial"}));
    // Two queue threads, each receiving its stop message; one dispatcher and its stop's post.
    std::map<std::string, int> expected_threads = {{"VuleQueThread:1:400", 2},
                                                   {"VuleQueThread:3:450", 2},
                                                   {"VuleQueThread:2:690", 2},
                                                   {"VuleSingleThreadPost:1:98", 1},
                                                   {"VuleSingleThreadPost:2:172", 1},
                                                   {"VuleSingleThreadDispatcher:1:213", 1},
                                                   {"VuleSingleThreadDispatcher:2:388", 1}};
    EXPECT_EQ(threads, expected_threads);

    std::string errlog = kavitest::read_file(dir + "/errlog");
    EXPECT_NE(errlog.find("KaviInit"), std::string::npos) << errlog;
    EXPECT_NE(errlog.find("120"), std::string::npos) << errlog;
    // The process-exit handler is put on the list once and quietly, not at every registration.
    EXPECT_EQ(errlog.find("site=230"), std::string::npos) << errlog;
}

}  // namespace
