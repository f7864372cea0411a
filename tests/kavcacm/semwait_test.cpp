// semwait_test.cpp — what ends vulcsemwait: its time-out, a shutdown of the node, SIGINT or
// SIGTERM where the program left their handling alone; and that handling comes back after.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "tests/support/child_process.h"

using namespace kavitest;

namespace {

size_t waits_on_node() {
    std::vector<plat::MailslotInfo> waits;
    plat::mailslot_list("\\\\.\\MAILSLOT\\KAVCACM\\WAIT\\", &waits);
    return waits.size();
}

bool waiting_on_node() {
    return waits_on_node() > 0;
}

bool default_handling(int sig) {
    struct sigaction now = {};
    sigaction(sig, nullptr, &now);
    return now.sa_handler == SIG_DFL;
}

// A child that waits up to 10 s and exits with what the wait answered (and 100 more when the
// handling of SIGINT and SIGTERM was not the default again afterwards).
Child waiter() {
    return Child::fork_run([] {
        uint32_t rc = vulcsemwait(0, 10000);
        bool restored = default_handling(SIGINT) && default_handling(SIGTERM);
        return static_cast<int>(rc) + (restored ? 0 : 100);
    });
}

}  // namespace

TEST(SemWait, TimesOut) {
    EXPECT_EQ(vulcsemwait(0, 0), VULC_SEM_TIMEOUT);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(vulcsemwait(0, 100), VULC_SEM_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
    EXPECT_FALSE(waiting_on_node());  // the wait's mailslot went with it
}

TEST(SemWait, EndsWhenTheNodeShutsDown) {
    Child a = waiter();
    Child b = waiter();
    ASSERT_TRUE(eventually([] { return waits_on_node() == 2; }, 5000));
    uint32_t ended = 0;
    EXPECT_EQ(vulcshutdown(&ended), VULC_OK);
    EXPECT_EQ(ended, 2u);
    EXPECT_EQ(a.wait(5000), static_cast<int>(VULC_SEM_SHUTDOWN));
    EXPECT_EQ(b.wait(5000), static_cast<int>(VULC_SEM_SHUTDOWN));
}

TEST(SemWait, EndsOnSigtermAndSigintAndRestoresTheDefault) {
    for (int sig : {SIGTERM, SIGINT}) {
        Child child = waiter();
        ASSERT_TRUE(eventually(waiting_on_node, 5000));
        child.kill(sig);
        EXPECT_EQ(child.wait(5000), static_cast<int>(VULC_SEM_SIGNAL)) << sig;
    }
}

TEST(SemWait, LeavesAProgramsOwnHandlingAlone) {
    Child child = Child::fork_run([] {
        signal(SIGTERM, SIG_IGN);
        uint32_t rc = vulcsemwait(0, 500);
        struct sigaction now = {};
        sigaction(SIGTERM, nullptr, &now);
        return now.sa_handler == SIG_IGN ? static_cast<int>(rc) : 99;
    });
    ASSERT_TRUE(eventually(waiting_on_node, 5000));
    child.kill(SIGTERM);
    EXPECT_EQ(child.wait(5000), static_cast<int>(VULC_SEM_TIMEOUT));
}

TEST(SemWait, ASignalEndsEveryWaitOfTheProcess) {
    Child child = Child::fork_run([] {
        uint32_t other = 0;
        std::thread second([&] { other = vulcsemwait(0, 10000); });
        uint32_t rc = vulcsemwait(0, 10000);
        second.join();
        return rc == VULC_SEM_SIGNAL && other == VULC_SEM_SIGNAL ? 0 : 1;
    });
    ASSERT_TRUE(eventually([] { return waits_on_node() == 2; }, 5000));
    child.kill(SIGTERM);
    EXPECT_EQ(child.wait(5000), 0);
}
