// mailslot_win32_test.cpp — what only the Windows mailslots do, under real processes: messages
// for a reader that closed or died never given to the next holder of its name, even while that
// holder is not yet in the registry; a shut that loses nothing a write put in; and the registry
// entries of dead processes removed.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "platform/win32/mailslot_registry.h"
#include "tests/platform/mailslot_helpers.h"
#include "tests/support/child_process.h"

namespace {

using kavitest::Child;
using namespace plat;
using namespace mailslot_helpers;

// registered: whether the mailslot exists and its creator has entered it in the registry.
bool registered(const std::string &name) {
    uint64_t identity;
    return mailslot_identity(slot(name).c_str(), &identity) == OK;
}

// A process running MailslotWin32Child.Run in a role, on the mailslot `name` of this node.
Child spawn_child(const std::string &role, const std::string &name) {
    return Child::spawn(
        {kavitest::executable_dir() + "\\mailslot_win32_test.exe",
         "--gtest_filter=MailslotWin32Child.Run"},
        {"KAVI_TEST_ROLE=" + role, "KAVI_TEST_SLOT=" + name, "KAVI_TEST_NODE=" + node_name()});
}

bool has_entry(const std::string &entry) {
    std::vector<std::string> entries;
    EXPECT_EQ(registry_entries(&entries), OK);
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

// Runs only as a child process started by spawn_child. "hold" holds the mailslot until it is
// killed; "heir" takes the name once it is free, expects "new" first and tells WATCHER.
TEST(MailslotWin32Child, Run) {
    std::string role, name, node;
    if (!env_get("KAVI_TEST_ROLE", &role)) GTEST_SKIP() << "child process only";
    ASSERT_TRUE(env_get("KAVI_TEST_SLOT", &name));
    ASSERT_TRUE(env_get("KAVI_TEST_NODE", &node));
    env_set("KAVI_NODE", node.c_str());
    // The heir stays a while between taking the name and entering it in the registry, where
    // the old entry still names the dead holder: its messages must be dropped all the same.
    std::thread unregistered;
    if (role == "heir") {
        pause_arm(Pause::mailslot_created);
        unregistered = std::thread([] {
            if (pause_reached(Pause::mailslot_created, 10000)) sleep_ms(1000);
            pause_release(Pause::mailslot_created);
        });
    }
    Mailslot *m = nullptr;
    // A writer still holding the old mailslot keeps its name taken for a moment.
    ASSERT_TRUE(kavitest::eventually(
        [&] { return mailslot_create(slot(name).c_str(), &m) == OK || (sleep_ms(5), false); },
        10000));
    if (role == "hold") Sleep(INFINITE);
    unregistered.join();
    EXPECT_EQ(read_message(m, 10000), "new");
    EXPECT_EQ(send("WATCHER", "got"), OK);
}

// Messages waiting for a reader that closed are dropped, and never reach the next holder of its
// name in the same process, which gets only what is written after it took the name.
TEST(MailslotWin32Test, ClosedReadersMessagesNeverReachTheNextHolder) {
    auto first = std::make_unique<Slot>("RENAMED");
    for (uint32_t i = 0; i < 50; ++i) ASSERT_EQ(send("RENAMED", message(i, 8192)), OK);
    first.reset();
    Mailslot *next = nullptr;
    // The flusher's handle keeps the closed mailslot, and its name, for a moment.
    ASSERT_TRUE(kavitest::eventually(
        [&] { return mailslot_create(slot("RENAMED").c_str(), &next) == OK; }, 5000));
    // A write may still queue behind the old messages, and is dropped with them.
    std::string got = "<640>";
    for (int tries = 0; tries < 200 && got == "<640>"; ++tries) {
        EXPECT_EQ(send("RENAMED", "new"), OK);
        got = read_message(next, 50);
    }
    EXPECT_EQ(got, "new");
    EXPECT_EQ(mailslot_close(next), OK);
}

// Messages waiting for a reader that is killed are dropped and counted, and never reach the
// next holder of the name, which does get what is written to it.
TEST(MailslotWin32Test, KilledHolderLosesOnlyItsOwnMessages) {
    Slot watcher("WATCHER");
    Child doomed = spawn_child("hold", "DOOMED");
    ASSERT_TRUE(kavitest::eventually([] { return registered("DOOMED"); }, 10000));
    constexpr uint32_t COUNT = 100;
    for (uint32_t i = 0; i < COUNT; ++i) ASSERT_EQ(send("DOOMED", message(i, 8192)), OK);
    // The heir waits for the name, to take it as soon as it is free.
    Child heir = spawn_child("heir", "DOOMED");
    sleep_ms(500);
    doomed.kill(9);
    EXPECT_EQ(doomed.wait(10000), 128 + 9);
    // A write may still queue behind the dead reader's messages, and is dropped with them: so
    // writes go on until the heir has one.
    EXPECT_TRUE(kavitest::eventually(
        [&] {
            send("DOOMED", "new");
            return mailslot_wait(watcher.m, 10, nullptr) == OK;
        },
        20000));
    EXPECT_EQ(heir.wait(10000), 0);
    // About 12 of the old ones fit in the dead reader's own queue, lost with it uncounted.
    EXPECT_GE(mailslot_dropped(slot("DOOMED").c_str()), COUNT - 20);
}

// A message written after the shut found the queue empty, but before writers were kept out, is
// still read; after the shut a write fails as if there were no mailslot.
TEST(MailslotWin32Test, ShutLosesNothingWrittenWhileItDrains) {
    Slot m("SHUT");
    ASSERT_EQ(send("SHUT", "early"), OK);
    pause_arm(Pause::mailslot_shut_drained);
    std::thread shutter([&] { EXPECT_EQ(mailslot_shut(m.m), OK); });
    EXPECT_TRUE(pause_reached(Pause::mailslot_shut_drained, 5000));
    EXPECT_EQ(send("SHUT", "late"), OK);
    pause_release(Pause::mailslot_shut_drained);
    shutter.join();
    EXPECT_EQ(send("SHUT", "after"), ERR_NOT_FOUND);
    EXPECT_EQ(m.read(), "early");
    EXPECT_EQ(m.read(), "late");
    EXPECT_EQ(m.read(0), "<232>");
}

// Every write that succeeded while a writer raced a shut is read or counted as dropped.
TEST(MailslotWin32Test, ShutRacingAWriterLosesNothing) {
    Slot m("RACED");
    uint32_t written = 0;
    std::thread writer([&] {
        while (send("RACED", message(written, 1024)) == OK) ++written;
    });
    sleep_ms(100);
    EXPECT_EQ(mailslot_shut(m.m), OK);
    writer.join();
    uint32_t read = 0;
    while (m.read(0) == message(read, 1024)) ++read;
    EXPECT_EQ(m.read(0), "<232>");
    // What still waited in this process for the reader is dropped, and counted.
    EXPECT_TRUE(kavitest::eventually(
        [&] { return read + mailslot_dropped(slot("RACED").c_str()) == written; }, 5000))
        << read << " read, " << written << " written";
    EXPECT_GT(read, 0u);
}

// The entry of a holder that died is removed by the next listing; a live one stays, and an entry
// is removed only while it holds the identity it was read with.
TEST(MailslotWin32Test, StaleEntriesAreRemovedAndOnlyThey) {
    Child doomed = spawn_child("hold", "STALE");
    ASSERT_TRUE(kavitest::eventually([] { return registered("STALE"); }, 10000));
    doomed.kill(9);
    EXPECT_EQ(doomed.wait(10000), 128 + 9);
    EXPECT_TRUE(has_entry("STALE"));
    Slot live("STALE-NOT");
    std::vector<MailslotInfo> found;
    ASSERT_EQ(mailslot_list(slot("STALE").c_str(), &found), OK);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, slot("STALE-NOT"));
    EXPECT_EQ(found[0].pid, process_id());
    EXPECT_FALSE(has_entry("STALE"));
    EXPECT_TRUE(has_entry("STALE-NOT"));

    ASSERT_EQ(registry_add("GUARDED", {1, 5}), OK);
    registry_remove("GUARDED", 6);
    RegistryEntry value;
    ASSERT_EQ(registry_read("GUARDED", &value), OK);
    EXPECT_EQ(value.identity, 5u);
    registry_remove("GUARDED", 5);
    EXPECT_EQ(registry_read("GUARDED", &value), ERR_NOT_FOUND);
}

}  // namespace
