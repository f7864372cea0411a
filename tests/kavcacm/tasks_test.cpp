// tasks_test.cpp — tasks across real processes: unique names per node, checks from anywhere,
// nothing left behind by a process that dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "services/kavcacm/request_block.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/child_process.h"

using namespace kavc;
using namespace kavitest;

namespace {

// A child that starts a task, reports through its exit code only if the start failed, and
// otherwise holds the task until killed.
Child holder(const std::string &task) {
    return Child::fork_run([task] {
        if (start(task).rc != VULC_OK) return 1;
        for (;;) pause();
    });
}

}  // namespace

TEST(Tasks, NodeAddressIsTheNodeNameUpperCasedAndPadded) {
    std::string node;
    EXPECT_EQ(check("NOBODY", &node), VULC_NOT_STARTED);  // filled even for an unknown task
    std::string expected = getenv("KAVI_NODE");
    for (char &c : expected) c = static_cast<char>(toupper(c));
    expected.resize(24, ' ');
    EXPECT_EQ(node, expected);
}

TEST(Tasks, StartStopAndStartAgain) {
    Started s = start("alpha");
    ASSERT_EQ(s.rc, VULC_OK);
    EXPECT_NE(s.wait_handle, 0u);
    EXPECT_EQ(check("ALPHA"), VULC_OK);
    EXPECT_EQ(start("ALPHA").rc, VULC_ALREADY_STARTED);  // names compare without regard to case
    EXPECT_EQ(stop("ALPHA"), VULC_OK);
    EXPECT_EQ(check("ALPHA"), VULC_NOT_STARTED);
    EXPECT_EQ(stop("ALPHA"), VULC_NOT_STARTED);
    EXPECT_EQ(start("ALPHA").rc, VULC_OK);
}

TEST(Tasks, NamesAreUniqueAcrossProcessesAndFreedWhenTheHolderIsKilled) {
    Child child = holder("SHARED");
    ASSERT_TRUE(eventually([] { return check("SHARED") == VULC_OK; }, 5000));
    EXPECT_EQ(start("SHARED").rc, VULC_ALREADY_STARTED);
    EXPECT_EQ(stop("SHARED"), VULC_NOT_STARTED);  // another process's task is not ours to stop
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(5000), 128 + SIGKILL);
    EXPECT_EQ(check("SHARED"), VULC_NOT_STARTED);
    EXPECT_EQ(start("SHARED").rc, VULC_OK);
}

TEST(Tasks, MalformedBlocksAreRefused) {
    auto block = request_for<VULC_STRTCOM>("GOOD    ");
    block.head.length -= 4;
    EXPECT_EQ(vulcstrtcom(&block), VULC_INVALID_REQUEST);
    EXPECT_EQ(vulcstrtcom(nullptr), VULC_INVALID_REQUEST);
    for (const char *name : {"        ", "A B     ", "A\\B     ", "KAVIEXIT"}) {
        auto named = request_for<VULC_STRTCOM>(name);
        EXPECT_EQ(vulcstrtcom(&named), VULC_INVALID_REQUEST) << name;
        EXPECT_EQ(named.head.rc, VULC_INVALID_REQUEST);
    }
    auto unterminated = request_for<VULC_STRTCOM>("GOOD    ");
    std::memset(unterminated.mailslot, 'M', sizeof unterminated.mailslot);
    EXPECT_EQ(vulcstrtcom(&unterminated), VULC_INVALID_REQUEST);
}

TEST(Tasks, BuffersNeedAStartedTaskToAllocateButAlwaysRelease) {
    EXPECT_EQ(allocate("IDLE", 200), nullptr);
    ASSERT_EQ(start("IDLE").rc, VULC_OK);
    void *buffer = allocate("IDLE", 200);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(allocate("IDLE", VULC_MESSAGE_MAX + 1), nullptr);
    ASSERT_EQ(stop("IDLE"), VULC_OK);
    EXPECT_EQ(release("IDLE", buffer), VULC_OK);
    char own[256] = {};
    EXPECT_EQ(release("IDLE", own + 128), VULC_INVALID_REQUEST);  // not the service's buffer
}

TEST(Tasks, SystemFailuresAreReportedAsSuchNotAsOutcomes) {
    plat::fault_arm(plat::Fault::mailslot_create, 0, 1);
    EXPECT_EQ(start("FAULTY").rc, VULC_SYSTEM_ERROR);  // not "already started"
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    EXPECT_EQ(start("FAULTY").rc, VULC_NO_MEMORY);
    EXPECT_EQ(check("FAULTY"), VULC_NOT_STARTED);  // nothing half started is left
    ASSERT_EQ(start("FAULTY").rc, VULC_OK);
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    EXPECT_EQ(allocate("FAULTY", 200), nullptr);
    void *buffer = allocate("FAULTY", 200);
    ASSERT_NE(buffer, nullptr);
    plat::fault_arm(plat::Fault::mailslot_write, 0, 1);
    EXPECT_EQ(send("FAULTY", "FAULTY", buffer, 200), VULC_SYSTEM_ERROR);  // not "unreachable"
    EXPECT_EQ(send("FAULTY", "FAULTY", buffer, 200), VULC_OK);
    plat::fault_clear();
    EXPECT_EQ(release("FAULTY", buffer), VULC_OK);
}
