// registration_test.cpp — KaviInitialize and KaviInit: refusals, names, run modes, the 64 slots.
#include <gtest/gtest.h>

#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace lifecycle;

uint32_t KAVI_CALL do_nothing(_VULE_PARAMETERS32 *) {
    return 0;
}

// A refused registration leaves no mailslot, task or slot; the name registers once the cause is
// gone.
TEST(Registration, RefusalsLeaveNothingBehind) {
    // A mailslot of the exit's name held by another process: the service is never asked.
    kavitest::Child holder = kavitest::Child::fork_run([] {
        plat::Mailslot *m = nullptr;
        plat::mailslot_create("\\\\.\\MAILSLOT\\VULEQUEUEBUSY", &m);
        plat::sleep_ms(60000);
        return 0;
    });
    ASSERT_TRUE(kavitest::eventually([] { return exit_mailslot("BUSY"); }, 10000));
    const char *bad_pointer = reinterpret_cast<const char *>(8);
    const struct {
        const char *name;
        VULE_EXIT_FUNCTION function;
        uint32_t run_mode, rc;
        plat::Fault fault = plat::Fault::alloc;
        uint32_t pass = 0, fail = 0;
    } refusals[] = {
        {"BUSY", do_nothing, 1, VULE_NOT_CREATED},
        {nullptr, do_nothing, 1, VULE_INVALID_ARGUMENT},
        {"", do_nothing, 1, VULE_INVALID_ARGUMENT},
        {"ABCDEFGHI", do_nothing, 1, VULE_INVALID_ARGUMENT},
        {"ABC", nullptr, 0, VULE_INVALID_ARGUMENT},
        {bad_pointer, do_nothing, 1, VULE_INVALID_ARGUMENT},
        // The service cannot create the task's inbox (the exit's own mailslot passes).
        {"NOINBOX", do_nothing, 1, VULE_SYSTEM_ERROR, plat::Fault::mailslot_create, 1, 1},
        // Failures after the slot was claimed give it back and stop the task.
        {"NOEVENT", do_nothing, 0, VULE_SYSTEM_ERROR, plat::Fault::event_create, 0, 1},
        {"NOTHREAD", do_nothing, 1, VULE_SYSTEM_ERROR, plat::Fault::thread_start, 0, 1},
    };
    for (const auto &r : refusals) {
        const std::string name = r.name == nullptr || r.name == bad_pointer ? "ABC" : r.name;
        if (r.fail != 0) plat::fault_arm(r.fault, r.pass, r.fail);
        EXPECT_EQ(r.run_mode == 1 ? KaviInitialize(r.name, r.function)
                                  : KaviInit(r.name, r.function, r.run_mode),
                  r.rc)
            << name;
        plat::fault_clear();
        EXPECT_EQ(exit_mailslot(name), name == "BUSY") << name;
        EXPECT_FALSE(task_started(name)) << name;
        EXPECT_TRUE(slot_view(0).free()) << name;
    }
    // A name already started as a task (here a tool's) is refused without stopping the task.
    {
        Tool tool("TAKEN");
        EXPECT_EQ(KaviInitialize("taken", do_nothing), VULE_NOT_CREATED);
        EXPECT_TRUE(task_started("TAKEN"));
        EXPECT_FALSE(exit_mailslot("TAKEN"));
        EXPECT_TRUE(slot_view(0).free());
    }
    holder.kill(SIGKILL);
    EXPECT_EQ(holder.wait(10000), 128 + SIGKILL);
    for (const char *name : {"NOINBOX", "NOTHREAD", "busy", "taken"})
        EXPECT_EQ(KaviInitialize(name, do_nothing), VULE_OK) << name;
    EXPECT_EQ(slot_view(0).name, "NOINBOX ");
}

// A node name beyond 24 characters would be cut, and nodes differing beyond it would become one;
// trailing blanks are the padded address itself.
TEST(Registration, NodeNameLongerThan24CharactersIsRefused) {
    for (const char *tail : {"X  ", "   "}) {
        kavitest::Child child = kavitest::Child::fork_run([tail] {
            setenv("KAVI_NODE", (std::string(24, 'N') + tail).c_str(), 1);
            const bool refused = tail[0] == 'X';
            uint32_t rc = KaviInitialize("ABC", do_nothing);
            bool right =
                rc == (refused ? VULE_NOT_CREATED : VULE_OK) && exit_mailslot("ABC") != refused;
            return right ? 0 : 1;
        });
        EXPECT_EQ(child.wait(10000), 0) << tail;
    }
}

// Names are upper-cased and padded, the run mode decides the dispatcher's objects; the 64
// slots are taken in order, a freed one before any higher one, and a 65th exit gets 7.
TEST(Registration, NamesRunModesAndSixtyFourSlots) {
    ASSERT_EQ(KaviInitialize("abc", do_nothing), VULE_OK);
    ASSERT_EQ(KaviInit("abcdefgh", do_nothing, 0), VULE_OK);
    SlotView one = slot_view(0), zero = slot_view(1);
    EXPECT_EQ(one.name, "ABC     ");
    EXPECT_EQ(zero.name, "ABCDEFGH");
    EXPECT_TRUE(one.queue_ended && zero.queue_ended);
    EXPECT_FALSE(one.dispatcher_mutex || one.work_posted);
    EXPECT_TRUE(zero.dispatcher_mutex && zero.work_posted);
    EXPECT_TRUE(exit_mailslot("ABC") && exit_mailslot("ABCDEFGH") && task_started("ABC"));
    std::string node = plat::node_name();
    node.resize(24, ' ');
    EXPECT_EQ(std::string(kavi::local_node_address, 24), node);
    for (int i = 2; i < 64; ++i)
        ASSERT_EQ(KaviInitialize(("R" + std::to_string(i)).c_str(), do_nothing), VULE_OK) << i;
    EXPECT_EQ(slot_view(63).name, pad("R63"));
    EXPECT_EQ(KaviInitialize("R64", do_nothing), VULE_SYSTEM_ERROR);
    EXPECT_FALSE(task_started("R64") || exit_mailslot("R64"));
    ASSERT_EQ(KaviTerminate("R5"), VULE_OK);
    ASSERT_EQ(KaviInitialize("R64", do_nothing), VULE_OK);
    EXPECT_EQ(slot_view(5).name, pad("R64"));
}

}  // namespace
