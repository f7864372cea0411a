// mailslot_owner_test.cpp — the directory of the owner's mailslots on POSIX: one made by somebody
// else first (open to all, or a link) is refused rather than used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "tests/platform/mailslot_helpers.h"
#include "tests/support/child_process.h"

namespace {

using kavitest::Child;
using namespace plat;
using namespace mailslot_helpers;

// A fresh process per case: the directory is checked once per process.
TEST(MailslotOwnerTest, OwnerDirectoryNotTheOwnersAloneIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory a group of its choosing";
    const gid_t base = 50000 + static_cast<gid_t>(getpid() % 5000) * 3;
    auto dir = [](gid_t gid) { return "/tmp/kavi-g" + std::to_string(gid); };
    ASSERT_EQ(mkdir(dir(base).c_str(), 0777), 0);
    ASSERT_EQ(chown(dir(base).c_str(), static_cast<uid_t>(-1), base), 0);
    ASSERT_EQ(chmod(dir(base).c_str(), 0777), 0);
    ASSERT_EQ(symlink(dir(base + 2).c_str(), dir(base + 1).c_str()), 0);
    auto create_as = [](gid_t gid) {
        return Child::fork_run([gid] {
                   setenv("KAVI_GROUP", std::to_string(gid).c_str(), 1);
                   Mailslot *m = nullptr;
                   uint32_t rc = mailslot_create(slot("GROUPED").c_str(), &m);
                   if (rc == OK) mailslot_close(m);
                   return static_cast<int>(rc);
               })
            .wait(10000);
    };
    EXPECT_EQ(create_as(base + 2), static_cast<int>(OK));
    struct stat st;
    ASSERT_EQ(lstat(dir(base + 2).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(S_ISGID | 0770));
    EXPECT_EQ(st.st_gid, base + 2);
    EXPECT_EQ(create_as(base), static_cast<int>(ERR_ACCESS_DENIED));
    EXPECT_EQ(create_as(base + 1), static_cast<int>(ERR_ACCESS_DENIED));
    unlink(dir(base + 1).c_str());
    rmdir(dir(base).c_str());
    unlink((dir(base + 2) + "/.lock").c_str());
    rmdir(dir(base + 2).c_str());
}

}  // namespace
