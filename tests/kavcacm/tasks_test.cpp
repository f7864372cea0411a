// tasks_test.cpp — tasks across real processes: unique names per node, nothing left behind by a
// process that dies, malformed blocks, buffers, closing, identities, and what ends vulcsemwait.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <future>

#include "platform/platform.h"
#include "services/kavcacm/request_block.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/child_process.h"

using namespace kavc;
using namespace kavitest;

namespace {

uint32_t send_one(const std::string &from, const std::string &to) {
    void *buffer = allocate(from, 120);
    uint32_t rc = send(from, to, buffer, 120);
    release(from, buffer);
    return rc;
}

// identify: the identity of the task's current start, or 0 (then *rc says why).
uint64_t identify(const std::string &target, uint32_t *rc, const char *node = nullptr) {
    auto block = request_for<VULC_TASKIDENT>("ASKER   ");
    std::memcpy(block.target, padded(target).data(), 8);
    std::memcpy(block.node, node != nullptr ? node : reported_node().c_str(), 24);
    *rc = vulctaskident(&block);
    return *rc == VULC_OK ? block.identity : 0;
}

bool waits_on_node(size_t count) {
    std::vector<plat::MailslotInfo> waits;
    return eventually(
        [&] {
            return plat::mailslot_list("\\\\.\\MAILSLOT\\KAVCACM\\WAIT\\", &waits) == 0 &&
                   waits.size() == count;
        },
        5000);
}

}  // namespace

TEST(Tasks, StartStopAndStartAgainAndTheNodeAddress) {
    std::string node, expected = getenv("KAVI_NODE");
    EXPECT_EQ(check("NOBODY", &node), VULC_NOT_STARTED);  // filled even for an unknown task
    for (char &c : expected) c = static_cast<char>(toupper(c));
    EXPECT_EQ(node, expected.append(24 - expected.size(), ' '));
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
    Child child = Child::fork_run([] { return start("SHARED").rc != VULC_OK ? 1 : pause(); });
    ASSERT_TRUE(eventually([] { return check("SHARED") == VULC_OK; }, 5000));
    EXPECT_EQ(start("SHARED").rc, VULC_ALREADY_STARTED);
    EXPECT_EQ(stop("SHARED"), VULC_NOT_STARTED);  // another process's task is not ours to stop
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(5000), 128 + SIGKILL);
    EXPECT_EQ(check("SHARED"), VULC_NOT_STARTED);
    EXPECT_EQ(start("SHARED").rc, VULC_OK);
}

TEST(Tasks, MalformedBlocksAreRefused) {
    EXPECT_EQ(vulcstrtcom(nullptr), VULC_INVALID_REQUEST);
    for (const char *name : {"        ", "A B     ", "A\\B     ", "KAVIEXIT"}) {
        auto named = request_for<VULC_STRTCOM>(name);
        EXPECT_EQ(vulcstrtcom(&named), VULC_INVALID_REQUEST) << name;
        EXPECT_EQ(named.head.rc, VULC_INVALID_REQUEST);
    }
    auto block = request_for<VULC_STRTCOM>("GOOD    ");
    block.head.length -= 4;
    EXPECT_EQ(vulcstrtcom(&block), VULC_INVALID_REQUEST);
    block.head.length += 4;
    std::memset(block.mailslot, 'M', sizeof block.mailslot);  // unterminated
    EXPECT_EQ(vulcstrtcom(&block), VULC_INVALID_REQUEST);
}

// A buffer needs a started task to be allocated, and is released also after the task stopped;
// system failures are reported as such, not as outcomes, are logged, and leave nothing half done.
TEST(Tasks, BuffersAndSystemFailures) {
    const std::string log = make_temp_dir() + "/errors.log";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    EXPECT_EQ(allocate("IDLE", 200), nullptr);
    plat::fault_arm(plat::Fault::mailslot_create, 0, 1);
    EXPECT_EQ(start("IDLE").rc, VULC_SYSTEM_ERROR);  // not "already started"
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    EXPECT_EQ(start("IDLE").rc, VULC_NO_MEMORY);
    EXPECT_EQ(check("IDLE"), VULC_NOT_STARTED);
    ASSERT_EQ(start("IDLE").rc, VULC_OK);
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    EXPECT_EQ(allocate("IDLE", 200), nullptr);
    EXPECT_EQ(allocate("IDLE", VULC_MESSAGE_MAX + 1), nullptr);
    void *buffer = allocate("IDLE", 200);
    plat::fault_arm(plat::Fault::mailslot_write, 0, 1);
    EXPECT_EQ(send("IDLE", "IDLE", buffer, 200), VULC_SYSTEM_ERROR);  // not "unreachable"
    EXPECT_TRUE(file_shows(log, "vulcsnddata", 5000));
    EXPECT_EQ(send("IDLE", "IDLE", buffer, 200), VULC_OK);
    ASSERT_EQ(stop("IDLE"), VULC_OK);
    EXPECT_EQ(release("IDLE", buffer), VULC_OK);
    char own[256] = {};
    EXPECT_EQ(release("IDLE", own + 128), VULC_INVALID_REQUEST);  // not the service's buffer
}

TEST(Tasks, StoppingATaskWakesItsWaiterAndFreesTheName) {
    Started s = start("WAITER");
    auto waiting = std::async(std::launch::async, [&] { return socwait(s.wait_handle, -1); });
    plat::sleep_ms(50);  // the waiter is most likely blocked by now; either way it must end
    ASSERT_EQ(stop("WAITER"), VULC_OK);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), VULC_INVALID_HANDLE);
    void *msg = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(receive("WAITER", s.receive_handle, &msg, &len), VULC_INVALID_HANDLE);
    EXPECT_EQ(start("WAITER").rc, VULC_OK);
}

// A closed task refuses new messages, still hands out what is in its inbox, then reports the
// end. Each start of a name has an identity of its own.
TEST(Closing, RefusesNewMessagesHandsOutWhatIsThereThenEndsAndEachStartHasAnIdentity) {
    Started reader = start("READER");
    ASSERT_EQ(start("ASKER").rc, VULC_OK);
    uint32_t rc = 0;
    const uint64_t first = identify("READER", &rc);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(identify("reader", &rc), first);
    ASSERT_EQ(send_one("ASKER", "READER"), VULC_OK);
    ASSERT_EQ(send_one("ASKER", "READER"), VULC_OK);
    auto close = request_for<VULC_STOPCOM>("READER  ");
    ASSERT_EQ(vulcclosecom(&close), VULC_OK);
    EXPECT_EQ(send_one("ASKER", "READER"), VULC_UNREACHABLE);
    EXPECT_EQ(check("READER"), VULC_OK);  // still started until it is stopped
    void *buffer = nullptr;
    uint32_t length = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(receive_wait("READER", reader.receive_handle, &buffer, &length, 5000), VULC_OK);
        EXPECT_EQ(length, 120u);
        EXPECT_EQ(release("READER", buffer), VULC_OK);
    }
    EXPECT_EQ(socwait(reader.wait_handle, -1), VULC_CLOSED);  // no longer waits
    EXPECT_EQ(receive("READER", reader.receive_handle, &buffer, &length), VULC_CLOSED);
    EXPECT_EQ(stop("READER"), VULC_OK);
    EXPECT_EQ(vulcclosecom(&close), VULC_NOT_STARTED);
    EXPECT_EQ(identify("READER", &rc), 0u);
    EXPECT_EQ(rc, VULC_NOT_STARTED);
    ASSERT_EQ(start("READER").rc, VULC_OK);
    EXPECT_NE(identify("READER", &rc), first);
    identify("READER", &rc, "SOMEWHERE ELSE          ");
    EXPECT_EQ(rc, VULC_UNREACHABLE);
}

// The wait times out, and leaves nothing behind; SIGTERM and SIGINT end every wait of the
// process and the default handling comes back; a program's own handling is left alone.
TEST(SemWait, TimesOutOrEndsOnSigtermAndSigintAndRestoresTheDefault) {
    EXPECT_EQ(vulcsemwait(0, 0), VULC_SEM_TIMEOUT);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(vulcsemwait(0, 100), VULC_SEM_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
    EXPECT_TRUE(waits_on_node(0));
    for (auto [sig, threads] : {std::pair{SIGTERM, 1}, {SIGINT, 1}, {SIGTERM, 2}, {0, 1}}) {
        Child child = Child::fork_run([sig, threads] {
            if (sig == 0) signal(SIGTERM, SIG_IGN);
            uint32_t other = VULC_SEM_SIGNAL;
            std::thread second([&] { other = threads > 1 ? vulcsemwait(0, 10000) : other; });
            uint32_t rc = vulcsemwait(0, sig == 0 ? 500 : 10000);
            second.join();
            bool restored = signal(SIGINT, SIG_DFL) == SIG_DFL &&
                            signal(SIGTERM, SIG_DFL) == (sig == 0 ? SIG_IGN : SIG_DFL);
            return other == VULC_SEM_SIGNAL && restored ? static_cast<int>(rc) : 99;
        });
        ASSERT_TRUE(waits_on_node(threads));
        child.kill(sig == 0 ? SIGTERM : sig);
        EXPECT_EQ(child.wait(5000), static_cast<int>(sig == 0 ? VULC_SEM_TIMEOUT : VULC_SEM_SIGNAL))
            << sig;
    }
}
