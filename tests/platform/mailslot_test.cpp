// mailslot_test.cpp — mailslots of both systems under real processes: names, limits and order,
// writers that never stall behind a sleeping reader and a queue that is bounded, death of a
// holder, the drain at exit, listing and nodes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "platform/common/backend.h"
#include "platform/platform.h"
#include "tests/platform/mailslot_helpers.h"
#include "tests/support/child_process.h"
#include "tests/support/mailslot_names.h"

namespace {

using kavitest::Child;
using namespace plat;
using namespace mailslot_helpers;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int KILL = 9;  // the signal's number on POSIX; Windows ends the child all the same

// holder: a child process holding `name` that runs fn on it; returned once the name is bound.
Child holder(const std::string &name, const std::function<int(Mailslot *)> &fn) {
    Child child = Child::fork_run([&] {
        Mailslot *m = create(name);
        return m == nullptr ? 100 : fn(m);
    });
    EXPECT_TRUE(kavitest::eventually([&] { return mailslot_exists(slot(name).c_str()); }, 10000));
    return child;
}

// A fresh process running MailslotChild.Run, without this one's threads or cached node name.
Child spawn_child(const std::string &role, const std::string &node, const std::string &expect) {
    return Child::spawn(
        {kavitest::executable_dir() + "/mailslot_test", "--gtest_filter=MailslotChild.Run"},
        {"KAVI_TEST_ROLE=" + role, "KAVI_TEST_NODE=" + node, "KAVI_TEST_EXPECT_NODE=" + expect},
        kavitest::test_temp_dir() + "/" + role + ".out");
}

TEST(MailslotTest, BadPathsAndArguments) {
    const size_t room = kavitest::longest_mailslot_name();
    const std::string longest = slot(std::string(room, 'L'));
    const std::string too_long = slot(std::string(room + 1, 'L'));
    Mailslot *m = nullptr;
    for (const char *path :
         {"", "\\\\.\\MAILSLOT\\", "\\\\.\\MAILSLO", "\\\\.\\PIPE\\X", "\\\\SERVER\\MAILSLOT\\X",
          "MAILSLOT\\X", too_long.c_str(), static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(path != nullptr ? path : "null");
        EXPECT_EQ(mailslot_create(path, &m), ERR_INVALID_PARAMETER);
        EXPECT_EQ(mailslot_write(path, "x", 1), ERR_INVALID_PARAMETER);
        EXPECT_FALSE(mailslot_exists(path));
    }
    ASSERT_EQ(mailslot_create(longest.c_str(), &m), OK);
    const std::string big(MAILSLOT_MAX_MESSAGE + 1, 'b');
    char buf[4];
    size_t len = 99;
    for (uint32_t rc : {mailslot_create(slot("X").c_str(), nullptr),
                        mailslot_write(longest.c_str(), big.data(), big.size()),
                        mailslot_write(longest.c_str(), nullptr, 1),
                        mailslot_read(m, nullptr, 1, &len, 0), mailslot_list("", nullptr)})
        EXPECT_EQ(rc, ERR_INVALID_PARAMETER);
    // Under wine the reader of an empty message fails (a broken pipe).
    if (!kavitest::under_wine()) {
        EXPECT_EQ(mailslot_write(longest.c_str(), nullptr, 0), OK);
        EXPECT_EQ(mailslot_read(m, buf, sizeof buf, &len, 1000), OK);
        EXPECT_EQ(len, 0u);
    }
    EXPECT_EQ(mailslot_close(m), OK);
    for (uint32_t rc : {mailslot_read(nullptr, buf, sizeof buf, &len, 0),
                        mailslot_wait(nullptr, 0, &len), mailslot_close(nullptr)})
        EXPECT_EQ(rc, ERR_INVALID_HANDLE);
}

// Messages keep their boundaries and order; a buffer too small for the next one refuses it and
// tells its length; each read keeps its own time-out, also after a timed one.
TEST(MailslotTest, ReadsKeepBoundariesOrderAndEachCallsTimeout) {
    EXPECT_EQ(send("NOBODY", "x"), ERR_NOT_FOUND);
    Slot m("SIZES");
    std::vector<size_t> sizes = {1, 1000, 64 * 1024, MAILSLOT_MAX_MESSAGE, 3};
    if (!kavitest::under_wine()) sizes.insert(sizes.begin(), 0);  // not under wine: see above
    for (uint32_t i = 0; i < sizes.size(); ++i) ASSERT_EQ(send("sizes", message(i, sizes[i])), OK);
    for (uint32_t i = 0; i < sizes.size(); ++i) {
        size_t size = 99;
        ASSERT_EQ(mailslot_wait(m.m, 1000, &size), OK);
        EXPECT_EQ(size, sizes[i]);
        EXPECT_EQ(m.read(), message(i, sizes[i])) << "message " << i;
    }
    char buf[100];
    size_t len = 0;
    auto start = Clock::now();
    EXPECT_EQ(mailslot_read(m.m, buf, sizeof buf, &len, 50), TIMEOUT);
    EXPECT_GE(Clock::now() - start, 45ms);
    start = Clock::now();
    EXPECT_EQ(m.read(50), "<640>");  // a whole-message read waits in the receive itself
    EXPECT_GE(Clock::now() - start, 45ms);
    EXPECT_EQ(mailslot_wait(m.m, 0, &len), TIMEOUT);
    ASSERT_EQ(send("SIZES", std::string(100, 's')), OK);
    EXPECT_EQ(mailslot_read(m.m, buf, 99, &len, 0), ERR_INVALID_PARAMETER);
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(mailslot_read(m.m, buf, sizeof buf, &len, 0), OK);
    EXPECT_EQ(std::string(buf, len), std::string(100, 's'));
    for (auto [text, delay_ms, timeout_ms] : {std::tuple{"late", 150, -1}, {"soon", 20, 5000}}) {
        std::thread writer([text, delay_ms] {
            sleep_ms(static_cast<uint32_t>(delay_ms));
            send("SIZES", text);
        });
        EXPECT_EQ(m.read(timeout_ms), text);
        writer.join();
    }
}

// The reader's socket queues only about 11 messages; the rest wait in the writer's process.
// Writes that go on while the reader drains the backlog must still queue behind it.
TEST(MailslotTest, BurstToSleepingReaderNeverStallsAndArrivesInOrder) {
    constexpr uint32_t COUNT = 1000;
    Child reader = holder("SLEEPER", [](Mailslot *m) {
        sleep_ms(1000);
        if (send("WATCHER", "awake") != OK) return 2;
        for (uint32_t i = 0; i < 2 * COUNT; ++i)
            if (read_message(m) != message(i, 1024)) return 3;
        return read_message(m, 100) == "<640>" ? 0 : 4;
    });
    Slot watcher("WATCHER");
    for (uint32_t i = 0; i < COUNT; ++i) ASSERT_EQ(send("SLEEPER", message(i, 1024)), OK);
    // Every write has returned, and the reader has not woken yet.
    EXPECT_EQ(mailslot_wait(watcher.m, 0, nullptr), TIMEOUT);
    EXPECT_EQ(watcher.read(), "awake");
    // Spaced out, so that many of these meet a reader queue with room while the backlog drains.
    for (uint32_t i = COUNT; i < 2 * COUNT; ++i) {
        ASSERT_EQ(send("SLEEPER", message(i, 1024)), OK);
        std::this_thread::sleep_for(20us);
    }
    EXPECT_EQ(reader.wait(20000), 0);
}

// Past 64 MiB queued in the writing process for a reader that never reads, writes that would
// queue fail, while a reader with room is still reached; once the reader closes, what waited for
// it is counted as dropped and the room is free again.
TEST(MailslotTest, OverflowQueueIsBoundedAndDroppedWhenTheReaderCloses) {
    auto stuck = std::make_unique<Slot>("STUCK");
    Slot fine("FINE");
    const std::string big = message(1, MAILSLOT_MAX_MESSAGE);
    uint32_t rc = OK;
    uint32_t accepted = 0;
    while (rc == OK && accepted < 1000)
        if ((rc = send("STUCK", big)) == OK) ++accepted;
    EXPECT_EQ(rc, ERR_NO_MEMORY);
    // 64 MiB queued, plus what the reader's own queue took before it filled.
    constexpr uint32_t TAKEN = 20;
    EXPECT_GE(accepted * big.size(), size_t{64} << 20);
    EXPECT_LT(accepted * big.size(), (size_t{64} << 20) + TAKEN * big.size());
    EXPECT_EQ(send("FINE", "small"), OK);
    EXPECT_EQ(fine.read(0), "small");
    EXPECT_EQ(mailslot_dropped(slot("STUCK").c_str()), 0u);
    stuck.reset();
    // Only what the reader's own queue had taken is lost uncounted.
    EXPECT_TRUE(kavitest::eventually(
        [&] { return mailslot_dropped(slot("STUCK").c_str()) + TAKEN >= accepted; }, 5000));
    EXPECT_LE(mailslot_dropped(slot("STUCK").c_str()), accepted);
    EXPECT_EQ(send("STUCK", "x"), ERR_NOT_FOUND);
    Slot again("STUCK");
    EXPECT_EQ(send("STUCK", big), OK);
    EXPECT_EQ(again.read(0), big);
}

// Messages queued for a reader that dies are dropped: a later holder of the name never gets
// them, but does get what is written after it took the name.
TEST(MailslotTest, KilledHolderFreesNameAndLosesOnlyItsOwnMessages) {
    if (!kavitest::fork_run_forks())
        GTEST_SKIP() << "the heir's process would rerun the writes to the dead holder; "
                        "mailslot_win32_test has this case with processes in roles";
    Child doomed = holder("DOOMED", [](Mailslot *) {
        sleep_ms(600000);
        return 0;
    });
    for (uint32_t i = 0; i < 30; ++i) ASSERT_EQ(send("DOOMED", "old"), OK);
    doomed.kill(KILL);
    EXPECT_EQ(doomed.wait(10000), 128 + KILL);
    EXPECT_FALSE(mailslot_exists(slot("DOOMED").c_str()));
    Child heir = holder("DOOMED", [](Mailslot *m) { return read_message(m) == "new" ? 0 : 2; });
    // A write can still queue behind the dead reader's messages until the flusher has noticed
    // the death, and is then dropped with them; so writes go on until the heir has one and ends.
    EXPECT_TRUE(kavitest::eventually(
        [] { return send("DOOMED", "new") == ERR_NOT_FOUND || (sleep_ms(10), false); }, 10000));
    EXPECT_EQ(heir.wait(10000), 0);
    EXPECT_EQ(send("DOOMED", "late"), ERR_NOT_FOUND);
}

// At exit a process gives its queued messages a bounded time to reach their readers: a reader
// that wakes late still gets them all, one that never reads delays the exit by at most ~2 s.
// The messages are more than either reader's own queue takes.
TEST(MailslotTest, ExitDrainsQueuedMessagesForABoundedTime) {
    Slot late("LATE"), never("NEVER");
    auto start = Clock::now();
    Child writer = Child::fork_run([] {
        for (uint32_t i = 0; i < 50; ++i)
            if (send("LATE", message(i, 8192)) != OK || send("NEVER", message(i, 8192)) != OK)
                return 1;
        exit(0);  // not _exit: the exit handlers drain
    });
    sleep_ms(300);
    for (uint32_t i = 0; i < 50; ++i) ASSERT_EQ(late.read(), message(i, 8192));
    EXPECT_EQ(writer.wait(10000), 0);
    EXPECT_GE(Clock::now() - start, 1500ms);
    EXPECT_LT(Clock::now() - start, 8000ms);
}

// Runs only as a child process started by spawn_child, on the node it is given, in a role.
TEST(MailslotChild, Run) {
    std::string role, node, expect;
    if (!env_get("KAVI_TEST_ROLE", &role)) GTEST_SKIP() << "child process only";
    ASSERT_TRUE(env_get("KAVI_TEST_NODE", &node));
    ASSERT_TRUE(env_get("KAVI_TEST_EXPECT_NODE", &expect));
    env_set("KAVI_NODE", node.c_str());
    EXPECT_EQ(node_name(), expect);
    Mailslot *m = nullptr;
    if (role == "same_node") {
        EXPECT_EQ(mailslot_create(slot("SHARED").c_str(), &m), ERR_ALREADY_EXISTS);
        EXPECT_EQ(send("PARENTONLY", "hello"), OK);
    } else if (role == "other_node") {
        EXPECT_FALSE(mailslot_exists(slot("PARENTONLY").c_str()));
        EXPECT_EQ(send("PARENTONLY", "x"), ERR_NOT_FOUND);
        Slot held("SHARED");
        std::vector<MailslotInfo> found;
        ASSERT_EQ(mailslot_list("", &found), OK);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].path, slot("SHARED"));
    }
}

// A name is unique on its node, without regard to case, and free again once closed; listing finds
// the names with a prefix, without regard to case, and their processes. Node names are
// upper-cased and cut to 24 characters without the blanks where the cut falls; a '/' in one
// cannot make this node's names look like another's.
TEST(MailslotTest, NamesAreUniqueOnTheNodeAndNodesDoNotSeeEachOther) {
    Slot shared("SHARED"), parent_only("PARENTONLY"), azure("AZURE");
    Mailslot *again = nullptr;
    EXPECT_EQ(mailslot_create("\\\\.\\mailslot\\shared", &again), ERR_ALREADY_EXISTS);
    EXPECT_TRUE(mailslot_exists("\\\\.\\Mailslot\\sHARED"));
    std::vector<MailslotInfo> found;
    ASSERT_EQ(mailslot_list("\\\\.\\mailslot\\az", &found), OK);  // both ends of a..z
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, slot("AZURE"));
    EXPECT_EQ(found[0].pid, process_id());
    ASSERT_EQ(mailslot_list(nullptr, &found), OK);
    EXPECT_EQ(found.size(), 3u);
    std::string lower = node_name();
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    ASSERT_LE(lower.size(), 22u);
    const std::string odd = lower + "/n" + std::string(24, ' ') + "tail";
    EXPECT_EQ(spawn_child("other_node", odd, node_name() + "/N").wait(20000), 0);
    EXPECT_EQ(spawn_child("same_node", lower, node_name()).wait(20000), 0);
    const std::string host = host_name();  // a blank KAVI_NODE counts as unset: it stands in
    ASSERT_FALSE(host.empty());
    std::string upper = host.substr(0, 24);
    upper_case(upper.data());
    EXPECT_EQ(spawn_child("host", "   ", upper).wait(20000), 0);
    EXPECT_EQ(parent_only.read(), "hello");
    shared.close();
    EXPECT_FALSE(mailslot_exists(slot("SHARED").c_str()));
    Slot again_after_close("SHARED");
}

}  // namespace
