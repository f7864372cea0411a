// access_test.cpp — a node belongs to its owner: a second, unprivileged user on the machine
// (made here with useradd when the tests run as root, as CI does) can neither list, reach,
// stop nor impersonate the owner's tasks, while a member of a configured group can.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "platform/platform.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/child_process.h"

namespace {

using namespace kavc;
using namespace kavitest;

class Access : public ::testing::Test {
  protected:
    // The second user, in the shared group, made by whichever test process comes first, and a
    // copy of the peer program where that user can run it.
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make and become a second user";
        // Test processes running side by side may hold the password file's lock: try again.
        for (int attempt = 0; attempt < 50 && !(getpwnam("kavipeer") && getgrnam("kavishare"));
             ++attempt) {
            if (system("(getent group kavishare || /usr/sbin/groupadd kavishare; getent passwd "
                       "kavipeer || /usr/sbin/useradd -M -N -s /usr/sbin/nologin -G kavishare "
                       "kavipeer) >/dev/null 2>&1") != 0)
                usleep(100 * 1000);
        }
        passwd *user = getpwnam("kavipeer");
        if (user == nullptr || !getgrnam("kavishare")) GTEST_SKIP() << "no second user";
        as_peer_ = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user->pw_uid),
                    "--regid=" + std::to_string(user->pw_gid), "--init-groups",
                    dir_ + "/access_peer"};
        std::filesystem::copy_file(executable_dir() + "/access_peer", as_peer_.back());
        chmod(dir_.c_str(), 0755);
        chmod(as_peer_.back().c_str(), 0755);
    }

    // start_peer: the peer program as the second user, with this process's environment and its
    // output going to `out`.
    Child start_peer(std::vector<std::string> args, const std::string &out) {
        args.insert(args.begin(), as_peer_.begin(), as_peer_.end());
        return Child::spawn(args, {}, out);
    }

    // peer: runs one command as the second user and returns what it printed.
    std::string peer(const std::vector<std::string> &args) {
        std::string out = dir_ + "/peer" + std::to_string(++runs_) + ".txt";
        EXPECT_EQ(start_peer(args, out).wait(10000), 0);
        return read_file(out);
    }

    std::string dir_ = make_temp_dir();
    std::vector<std::string> as_peer_;  // the peer program, run as the second user
    int runs_ = 0;
};

// Nothing the second user tries reaches the owner's task, which still gets the owner's messages.
TEST_F(Access, AnotherUserCannotListReachOrShutDownTheOwnersNode) {
    TaskClient owned("OWNED");
    const std::string file = "/tmp/kavi-" + std::to_string(geteuid()) + "/" + plat::node_name() +
                             ".KAVCACM\\TASK\\OWNED";
    ASSERT_EQ(access(file.c_str(), F_OK), 0) << "the layout the test assumes";
    auto waiting = std::async(std::launch::async, [] { return vulcsemwait(0, 3000); });
    ASSERT_TRUE(eventually(
        [] {
            std::vector<plat::MailslotInfo> waits;
            plat::mailslot_list("\\\\.\\MAILSLOT\\KAVCACM\\WAIT\\", &waits);
            return !waits.empty();
        },
        5000));
    EXPECT_EQ(peer({"list"}), "rc=0 count=0\n");
    EXPECT_EQ(peer({"send", "OWNED"}), "rc=9\n");
    EXPECT_EQ(peer({"raw", file}), "errno=" + std::to_string(EACCES) + "\n");
    EXPECT_EQ(peer({"shutdown"}), "rc=0 ended=0\n");
    EXPECT_EQ(waiting.get(), VULC_SEM_TIMEOUT) << "the owner's wait was not ended";
    void *buffer = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(owned.receive(&buffer, &length, 0), VULC_NO_DATA);
    ASSERT_EQ(owned.send_bytes("OWNED", nullptr, 0), VULC_OK);
    ASSERT_EQ(owned.receive(&buffer, &length, 5000), VULC_OK);
    owned.release(buffer);
}

// Names the second user holds are its own: the owner's task and waits start all the same.
TEST_F(Access, AnotherUserCannotTakeTheOwnersNames) {
    Child holder = start_peer({"hold", "TAKEN"}, dir_ + "/tasks.txt");
    Child waits = start_peer({"hold-waits", std::to_string(getpid()), "300"}, dir_ + "/waits.txt");
    ASSERT_TRUE(file_shows(dir_ + "/tasks.txt", "held=1\n", 5000));
    ASSERT_TRUE(file_shows(dir_ + "/waits.txt", "held=300\n", 5000));
    EXPECT_EQ(start("TAKEN").rc, VULC_OK);
    EXPECT_EQ(vulcsemwait(0, 10), VULC_SEM_TIMEOUT);
}

// With KAVI_GROUP naming a group, its members share the node: the second user, a member, lists,
// reaches and shuts down the owner's node.
TEST_F(Access, AMemberOfTheConfiguredGroupSharesTheNode) {
    setenv("KAVI_GROUP", "kavishare", 1);
    TaskClient shared("SHARED");
    ASSERT_EQ(shared.start_rc(), VULC_OK);
    struct stat st;
    ASSERT_EQ(stat(("/tmp/kavi-g" + std::to_string(getgrnam("kavishare")->gr_gid)).c_str(), &st),
              0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(S_ISGID | 0770));
    auto waiting = std::async(std::launch::async, [] { return vulcsemwait(0, 5000); });
    EXPECT_EQ(peer({"list"}), "rc=0 count=1 SHARED  \n");
    EXPECT_EQ(peer({"send", "SHARED"}), "rc=0\n");
    void *buffer = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(shared.receive(&buffer, &length, 5000), VULC_OK);
    EXPECT_EQ(std::string(static_cast<char *>(buffer) + VULC_HDR_ORIGIN_NAME, 8), "PEER    ");
    shared.release(buffer);
    ASSERT_TRUE(eventually([&] { return peer({"shutdown"}) == "rc=0 ended=1\n"; }, 5000));
    EXPECT_EQ(waiting.get(), VULC_SEM_SHUTDOWN);
}

}  // namespace
