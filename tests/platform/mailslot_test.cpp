// mailslot_test.cpp — mailslots over real sockets and real processes: names, boundaries and
// order, writers that never stall behind a sleeping reader, death of a holder, listing, the
// fault seam and node separation.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using kavitest::Child;
using Clock = std::chrono::steady_clock;

std::string slot(const std::string &name) {
    return "\\\\.\\MAILSLOT\\" + name;
}

// A message whose every byte depends on its sequence number and position.
std::string message(uint32_t seq, size_t size) {
    std::string m(size, '\0');
    for (size_t i = 0; i < size; ++i) m[i] = static_cast<char>((seq * 131 + i * 7) & 0xff);
    if (size >= sizeof seq) memcpy(m.data(), &seq, sizeof seq);
    return m;
}

uint32_t send(const std::string &name, const std::string &data) {
    return plat::mailslot_write(slot(name).c_str(), data.data(), data.size());
}

// read_message: the next message, or "<rc>" spelled out when the read failed.
// Every test process reads from one thread at a time, so one buffer serves all reads.
std::string read_message(plat::Mailslot *m, int32_t timeout_ms = 5000) {
    static std::vector<char> buf(plat::MAILSLOT_MAX_MESSAGE);
    size_t len = 0;
    uint32_t rc = plat::mailslot_read(m, buf.data(), buf.size(), &len, timeout_ms);
    if (rc != plat::OK) return "<" + std::to_string(rc) + ">";
    return std::string(buf.data(), len);
}

// Slot: a mailslot this process holds; closing it, at the latest at the end of the scope, must
// succeed.
struct Slot {
    explicit Slot(const std::string &name) {
        EXPECT_EQ(plat::mailslot_create(slot(name).c_str(), &m), plat::OK) << name;
    }
    ~Slot() { close(); }
    void close() {
        if (m != nullptr) {
            EXPECT_EQ(plat::mailslot_close(m), plat::OK);
        }
        m = nullptr;
    }
    std::string read(int32_t timeout_ms = 5000) { return read_message(m, timeout_ms); }
    plat::Mailslot *m = nullptr;
};

// The holder of `name` in another process is ready when its name is bound.
bool bound_soon(const std::string &name) {
    return kavitest::eventually([&] { return plat::mailslot_exists(slot(name).c_str()); }, 5000);
}

// A fresh process of this test program running MailslotChild.Run: it has no threads or cached
// node name from this one. Its exit code is 0 when its checks held.
Child spawn_child(const std::string &role, const std::string &node,
                  const std::string &expect = "") {
    return Child::spawn(
        {kavitest::executable_dir() + "/mailslot_test", "--gtest_filter=MailslotChild.Run"},
        {"KAVI_TEST_ROLE=" + role, "KAVI_TEST_NODE=" + node,
         "KAVI_TEST_EXPECT_NODE=" + (expect.empty() ? node : expect)},
        "/dev/null");
}

TEST(MailslotTest, NameIsUniqueOnTheNodeAndFreeAgainAfterClose) {
    Slot unique("UNIQUE");
    plat::Mailslot *again = nullptr;
    EXPECT_EQ(plat::mailslot_create("\\\\.\\mailslot\\unique", &again), plat::ERR_ALREADY_EXISTS);
    EXPECT_EQ(again, nullptr);
    Child other = Child::fork_run([] {
        plat::Mailslot *theirs = nullptr;
        return plat::mailslot_create(slot("Unique").c_str(), &theirs) == plat::ERR_ALREADY_EXISTS
                   ? 0
                   : 1;
    });
    EXPECT_EQ(other.wait(10000), 0);
    EXPECT_TRUE(plat::mailslot_exists("\\\\.\\Mailslot\\uNIQUE"));
    unique.close();
    EXPECT_FALSE(plat::mailslot_exists(slot("UNIQUE").c_str()));
    Slot again_after_close("UNIQUE");
}

TEST(MailslotTest, BadPathsAndArguments) {
    // The socket file "/tmp/kavi-<uid>/<node>.<NAME>" fits 107 bytes.
    const size_t room = 107 - (strlen("/tmp/kavi-/.") + std::to_string(geteuid()).size() +
                               plat::node_name().size());
    const std::string longest = slot(std::string(room, 'L'));
    const std::string too_long = slot(std::string(room + 1, 'L'));
    const char *bad[] = {"",
                         "\\\\.\\MAILSLOT\\",
                         "\\\\.\\MAILSLO",
                         "\\\\.\\PIPE\\X",
                         "\\\\SERVER\\MAILSLOT\\X",
                         "MAILSLOT\\X",
                         too_long.c_str()};
    plat::Mailslot *m = nullptr;
    for (const char *path : bad) {
        SCOPED_TRACE(path);
        EXPECT_EQ(plat::mailslot_create(path, &m), plat::ERR_INVALID_PARAMETER);
        EXPECT_EQ(plat::mailslot_write(path, "x", 1), plat::ERR_INVALID_PARAMETER);
        EXPECT_FALSE(plat::mailslot_exists(path));
    }
    EXPECT_EQ(plat::mailslot_create(nullptr, &m), plat::ERR_INVALID_PARAMETER);
    EXPECT_EQ(plat::mailslot_write(nullptr, "x", 1), plat::ERR_INVALID_PARAMETER);
    EXPECT_FALSE(plat::mailslot_exists(nullptr));
    EXPECT_EQ(plat::mailslot_create(slot("X").c_str(), nullptr), plat::ERR_INVALID_PARAMETER);

    ASSERT_EQ(plat::mailslot_create(longest.c_str(), &m), plat::OK);
    std::string big(plat::MAILSLOT_MAX_MESSAGE + 1, 'b');
    EXPECT_EQ(plat::mailslot_write(longest.c_str(), big.data(), big.size()),
              plat::ERR_INVALID_PARAMETER);
    EXPECT_EQ(plat::mailslot_write(longest.c_str(), nullptr, 1), plat::ERR_INVALID_PARAMETER);
    EXPECT_EQ(plat::mailslot_write(longest.c_str(), nullptr, 0), plat::OK);
    char buf[4];
    size_t len = 99;
    EXPECT_EQ(plat::mailslot_read(m, buf, sizeof buf, &len, 1000), plat::OK);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(plat::mailslot_read(m, nullptr, 1, &len, 0), plat::ERR_INVALID_PARAMETER);
    EXPECT_EQ(plat::mailslot_close(m), plat::OK);

    EXPECT_EQ(plat::mailslot_read(nullptr, buf, sizeof buf, &len, 0), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::mailslot_wait(nullptr, 0, &len), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::mailslot_close(nullptr), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::mailslot_list("", nullptr), plat::ERR_INVALID_PARAMETER);
}

TEST(MailslotTest, BoundariesAndOrderKept) {
    Slot m("SIZES");
    const size_t sizes[] = {0, 1, 1000, 64 * 1024, plat::MAILSLOT_MAX_MESSAGE, 3};
    for (uint32_t i = 0; i < 6; ++i) ASSERT_EQ(send("sizes", message(i, sizes[i])), plat::OK);
    for (uint32_t i = 0; i < 6; ++i) {
        size_t size = 99;
        ASSERT_EQ(plat::mailslot_wait(m.m, 1000, &size), plat::OK);
        EXPECT_EQ(size, sizes[i]);
        EXPECT_EQ(m.read(), message(i, sizes[i])) << "message " << i;
    }
}

TEST(MailslotTest, MissingTimeoutAndTooSmallBuffer) {
    EXPECT_EQ(send("NOBODY", "x"), plat::ERR_NOT_FOUND);
    Slot small("SMALL");
    plat::Mailslot *m = small.m;
    size_t len = 0;
    char buf[100];
    auto start = Clock::now();
    EXPECT_EQ(plat::mailslot_read(m, buf, sizeof buf, &len, 50), plat::TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_EQ(plat::mailslot_wait(m, 0, &len), plat::TIMEOUT);

    ASSERT_EQ(send("SMALL", std::string(100, 's')), plat::OK);
    len = 0;
    EXPECT_EQ(plat::mailslot_read(m, buf, 99, &len, 0), plat::ERR_INVALID_PARAMETER);
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(plat::mailslot_read(m, buf, sizeof buf, &len, 0), plat::OK);
    EXPECT_EQ(std::string(buf, len), std::string(100, 's'));
}

// A whole-message read waits in the receive itself; each call keeps its own time-out, so a wait
// for ever after a timed one must not inherit the earlier limit.
TEST(MailslotTest, WholeReadsKeepEachCallsTimeout) {
    Slot m("WHOLE");
    auto start = Clock::now();
    EXPECT_EQ(m.read(50), "<" + std::to_string(plat::TIMEOUT) + ">");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
    for (auto [text, delay_ms, timeout_ms] : {std::tuple{"late", 150, -1}, {"soon", 20, 5000}}) {
        std::thread writer([text, delay_ms] {
            plat::sleep_ms(static_cast<uint32_t>(delay_ms));
            send("WHOLE", text);
        });
        EXPECT_EQ(m.read(timeout_ms), text);
        writer.join();
    }
}

TEST(MailslotTest, RoundTripsBetweenProcesses) {
    Child echo = Child::fork_run([] {
        plat::Mailslot *m = nullptr;
        if (plat::mailslot_create(slot("ECHO").c_str(), &m) != plat::OK) return 1;
        for (int i = 0; i < 100; ++i) {
            std::string got = read_message(m);
            if (send("ASKER", got) != plat::OK) return 2;
        }
        return 0;
    });
    Slot asker("ASKER");
    ASSERT_TRUE(bound_soon("ECHO"));
    for (uint32_t i = 0; i < 100; ++i) {
        std::string sent = message(i, 10 + i * 100);
        ASSERT_EQ(send("ECHO", sent), plat::OK);
        ASSERT_EQ(asker.read(), sent);
    }
    EXPECT_EQ(echo.wait(10000), 0);
}

// The reader's socket queues only about 11 messages; the rest wait in the writer's process.
// Writes that go on while the reader drains the backlog must still queue behind it.
TEST(MailslotTest, BurstToSleepingReaderNeverStallsAndArrivesInOrder) {
    constexpr uint32_t COUNT = 1000;
    Child reader = Child::fork_run([] {
        plat::Mailslot *m = nullptr;
        if (plat::mailslot_create(slot("SLEEPER").c_str(), &m) != plat::OK) return 1;
        plat::sleep_ms(1000);
        if (send("WATCHER", "awake") != plat::OK) return 2;
        for (uint32_t i = 0; i < 2 * COUNT; ++i) {
            if (read_message(m) != message(i, 1024)) return 3;
        }
        return read_message(m, 100) == "<640>" ? 0 : 4;
    });
    Slot watcher("WATCHER");
    ASSERT_TRUE(bound_soon("SLEEPER"));
    for (uint32_t i = 0; i < COUNT; ++i) ASSERT_EQ(send("SLEEPER", message(i, 1024)), plat::OK);
    // Every write has returned, and the reader has not woken yet.
    EXPECT_EQ(plat::mailslot_wait(watcher.m, 0, nullptr), plat::TIMEOUT);
    EXPECT_EQ(watcher.read(), "awake");
    // Spaced out, so that many of these meet a reader queue with room while the backlog drains.
    for (uint32_t i = COUNT; i < 2 * COUNT; ++i) {
        ASSERT_EQ(send("SLEEPER", message(i, 1024)), plat::OK);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    EXPECT_EQ(reader.wait(20000), 0);
}

// A reader that never reads cannot make its writers grow without bound: past 64 MiB queued in
// the writing process, writes that would queue fail, while a reader with room is still reached.
// When the reader goes, its queue is dropped and the room is free again.
TEST(MailslotTest, OverflowQueueIsBounded) {
    auto stuck = std::make_unique<Slot>("STUCK");
    Slot fine("FINE");
    const std::string big = message(1, plat::MAILSLOT_MAX_MESSAGE);
    uint32_t rc = plat::OK;
    size_t accepted = 0;
    while (rc == plat::OK && accepted < 1000) {
        rc = send("STUCK", big);
        if (rc == plat::OK) ++accepted;
    }
    EXPECT_EQ(rc, plat::ERR_NO_MEMORY);
    // 64 MiB queued, plus what the reader's socket took before it filled.
    EXPECT_GE(accepted * big.size(), size_t{64} << 20);
    EXPECT_LT(accepted * big.size(), (size_t{64} << 20) + 20 * big.size());
    EXPECT_EQ(send("FINE", "small"), plat::OK);
    EXPECT_EQ(fine.read(0), "small");

    stuck.reset();
    stuck = std::make_unique<Slot>("STUCK");
    // Too big to fit beside the old queue: it succeeds only once that queue is gone.
    const std::string fresh = message(2, plat::MAILSLOT_MAX_MESSAGE);
    EXPECT_TRUE(kavitest::eventually([&] { return send("STUCK", fresh) == plat::OK; }, 5000));
    EXPECT_EQ(stuck->read(0), fresh);
}

// Messages queued for a reader that dies are dropped: a later holder of the name never gets
// them, but does get what is written after it took the name.
TEST(MailslotTest, KilledHolderFreesNameAndLosesOnlyItsOwnMessages) {
    Child holder = Child::fork_run([] {
        plat::Mailslot *m = nullptr;
        if (plat::mailslot_create(slot("DOOMED").c_str(), &m) != plat::OK) return 1;
        for (;;) pause();
    });
    ASSERT_TRUE(bound_soon("DOOMED"));
    for (uint32_t i = 0; i < 30; ++i) ASSERT_EQ(send("DOOMED", "old"), plat::OK);
    holder.kill(SIGKILL);
    EXPECT_EQ(holder.wait(10000), 128 + SIGKILL);
    EXPECT_FALSE(plat::mailslot_exists(slot("DOOMED").c_str()));

    Child heir = Child::fork_run([] {
        plat::Mailslot *m = nullptr;
        if (plat::mailslot_create(slot("DOOMED").c_str(), &m) != plat::OK) return 1;
        std::string got = read_message(m);
        return got == "new" ? 0 : 2;
    });
    ASSERT_TRUE(bound_soon("DOOMED"));
    // A write can still queue behind the dead reader's messages until the flusher has noticed
    // the death, and is then dropped with them; so writes go on until the heir has one and ends.
    EXPECT_TRUE(kavitest::eventually(
        [] {
            if (send("DOOMED", "new") == plat::ERR_NOT_FOUND) return true;
            plat::sleep_ms(10);
            return false;
        },
        10000));
    EXPECT_EQ(heir.wait(10000), 0);
    EXPECT_EQ(send("DOOMED", "late"), plat::ERR_NOT_FOUND);
}

// At exit a process gives its queued messages a bounded time to reach their readers: a reader
// that wakes late still gets them all, one that never reads delays the exit by at most ~2 s.
TEST(MailslotTest, ExitDrainsQueuedMessagesForABoundedTime) {
    Slot late("LATE"), never("NEVER");
    auto start = Clock::now();
    Child writer = spawn_child("exit_writer", plat::node_name());
    plat::sleep_ms(300);
    for (uint32_t i = 0; i < 50; ++i) ASSERT_EQ(late.read(), message(i, 100));
    EXPECT_EQ(writer.wait(10000), 0);
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
}

TEST(MailslotTest, ListFindsNamesWithTheirProcesses) {
    Child other = Child::fork_run([] {
        plat::Mailslot *m = nullptr;
        if (plat::mailslot_create(slot("LISTA3").c_str(), &m) != plat::OK) return 1;
        read_message(m);  // until told to go
        return 0;
    });
    ASSERT_TRUE(bound_soon("LISTA3"));
    Slot a1("LISTA1"), a2("lista2"), b("LISTB");

    std::vector<plat::MailslotInfo> found;
    ASSERT_EQ(plat::mailslot_list("\\\\.\\mailslot\\lista", &found), plat::OK);
    std::map<std::string, uint32_t> pids;
    for (const auto &info : found) pids[info.path] = info.pid;
    const uint32_t me = static_cast<uint32_t>(getpid());
    EXPECT_EQ(pids, (std::map<std::string, uint32_t>{{slot("LISTA1"), me},
                                                     {slot("LISTA2"), me},
                                                     {slot("LISTA3"), uint32_t(other.pid())}}));
    ASSERT_EQ(plat::mailslot_list(nullptr, &found), plat::OK);
    EXPECT_EQ(found.size(), 4u);
    ASSERT_EQ(plat::mailslot_list("\\\\.\\MAILSLOT\\LISTC", &found), plat::OK);
    EXPECT_TRUE(found.empty());

    ASSERT_EQ(send("LISTA3", "go"), plat::OK);
    EXPECT_EQ(other.wait(10000), 0);
}

TEST(MailslotTest, FaultSeamFailsCreateAndWrite) {
    plat::fault_arm(plat::Fault::mailslot_create, 0, 1);
    plat::Mailslot *m = nullptr;
    uint32_t rc = plat::mailslot_create(slot("FAULTY").c_str(), &m);
    EXPECT_NE(rc, plat::OK);
    EXPECT_NE(rc, plat::ERR_ALREADY_EXISTS);
    EXPECT_EQ(m, nullptr);
    EXPECT_FALSE(plat::mailslot_exists(slot("FAULTY").c_str()));
    Slot faulty("FAULTY");

    plat::fault_arm(plat::Fault::mailslot_write, 1, 1);
    EXPECT_EQ(send("FAULTY", "one"), plat::OK);
    EXPECT_NE(send("FAULTY", "two"), plat::OK);
    EXPECT_EQ(send("FAULTY", "three"), plat::OK);
    EXPECT_EQ(faulty.read(0), "one");
    EXPECT_EQ(faulty.read(0), "three");
    plat::fault_clear();
}

// Runs only as a child process started by spawn_child, on the node it is given, in a role.
// Returning from main then runs the process-exit drain.
// The owner's directory may have been made by somebody else first: the mailslots are then
// refused rather than put where others may reach them. A fresh process per case, since the
// directory is checked once per process.
TEST(MailslotTest, OwnerDirectoryNotTheOwnersAloneIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory a group of its choosing";
    const gid_t base = 50000 + static_cast<gid_t>(getpid() % 5000) * 3;
    const std::string open_to_all = "/tmp/kavi-g" + std::to_string(base);
    const std::string link = "/tmp/kavi-g" + std::to_string(base + 1);
    const std::string made = "/tmp/kavi-g" + std::to_string(base + 2);
    ASSERT_EQ(mkdir(open_to_all.c_str(), 0777), 0);
    ASSERT_EQ(chown(open_to_all.c_str(), static_cast<uid_t>(-1), base), 0);
    ASSERT_EQ(chmod(open_to_all.c_str(), 0777), 0);
    ASSERT_EQ(symlink(made.c_str(), link.c_str()), 0);
    auto create_as = [](gid_t gid) {
        return Child::fork_run([gid] {
                   setenv("KAVI_GROUP", std::to_string(gid).c_str(), 1);
                   plat::Mailslot *m = nullptr;
                   uint32_t rc = plat::mailslot_create(slot("GROUPED").c_str(), &m);
                   if (rc == plat::OK) plat::mailslot_close(m);
                   return static_cast<int>(rc);
               })
            .wait(10000);
    };
    EXPECT_EQ(create_as(base + 2), static_cast<int>(plat::OK));
    struct stat st;
    ASSERT_EQ(lstat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(S_ISGID | 0770));
    EXPECT_EQ(st.st_gid, base + 2);
    EXPECT_EQ(create_as(base), static_cast<int>(plat::ERR_ACCESS_DENIED));
    EXPECT_EQ(create_as(base + 1), static_cast<int>(plat::ERR_ACCESS_DENIED));
    unlink(link.c_str());
    rmdir(open_to_all.c_str());
    unlink((made + "/.lock").c_str());
    rmdir(made.c_str());
}

TEST(MailslotChild, Run) {
    std::string role, node, expect;
    if (!plat::env_get("KAVI_TEST_ROLE", &role)) GTEST_SKIP() << "child process only";
    ASSERT_TRUE(plat::env_get("KAVI_TEST_NODE", &node));
    ASSERT_TRUE(plat::env_get("KAVI_TEST_EXPECT_NODE", &expect));
    setenv("KAVI_NODE", node.c_str(), 1);
    EXPECT_EQ(plat::node_name(), expect);
    plat::Mailslot *m = nullptr;
    if (role == "exit_writer") {
        for (uint32_t i = 0; i < 50; ++i) {
            ASSERT_EQ(send("LATE", message(i, 100)), plat::OK);
            ASSERT_EQ(send("NEVER", "x"), plat::OK);
        }
    } else if (role == "same_node") {
        EXPECT_EQ(plat::mailslot_create(slot("SHARED").c_str(), &m), plat::ERR_ALREADY_EXISTS);
        EXPECT_EQ(send("PARENTONLY", "hello"), plat::OK);
    } else {
        EXPECT_FALSE(plat::mailslot_exists(slot("PARENTONLY").c_str()));
        EXPECT_EQ(send("PARENTONLY", "x"), plat::ERR_NOT_FOUND);
        ASSERT_EQ(plat::mailslot_create(slot("SHARED").c_str(), &m), plat::OK);
        std::vector<plat::MailslotInfo> found;
        ASSERT_EQ(plat::mailslot_list("", &found), plat::OK);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].path, slot("SHARED"));
        plat::mailslot_close(m);
    }
}

TEST(MailslotTest, NodesDoNotSeeEachOther) {
    Slot shared("SHARED"), parent_only("PARENTONLY");
    // Node names are upper-cased and cut to 24 characters without the blanks where the cut
    // falls. A '/' in one cannot make this node's names look like another's.
    std::string lower = plat::node_name();
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    ASSERT_LE(lower.size(), 22u);
    Child other = spawn_child("other_node", lower + "/n" + std::string(24, ' ') + "tail",
                              plat::node_name() + "/N");
    EXPECT_EQ(other.wait(20000), 0);
    Child same = spawn_child("same_node", lower, plat::node_name());
    EXPECT_EQ(same.wait(20000), 0);
    EXPECT_EQ(parent_only.read(), "hello");
}

}  // namespace
