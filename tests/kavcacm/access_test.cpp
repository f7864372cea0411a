// access_test.cpp — a node belongs to its owner: a second, unprivileged user on the machine
// (made here with useradd when the tests run as root, as CI does) can neither list, reach,
// stop nor impersonate the owner's tasks, while a member of a configured group can.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/child_process.h"

namespace {

using kavitest::Child;

constexpr char PEER_USER[] = "kavipeer";
constexpr char SHARED_GROUP[] = "kavishare";

struct Peer {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
    std::string program;  // the peer program, where that user can run it
};

// make_peer: the second user (in the shared group), made when missing, and a copy of the peer
// program it can run. An empty reason means ready.
std::string make_peer(Peer *peer) {
    if (geteuid() != 0) return "needs root to make and become a second user";
    // Made by whichever test process comes first; the others find them.
    std::string make = std::string("(getent group ") + SHARED_GROUP + " || /usr/sbin/groupadd " +
                       SHARED_GROUP + "; getent passwd " + PEER_USER +
                       " || /usr/sbin/useradd -M -N " + "-s /usr/sbin/nologin -G " + SHARED_GROUP +
                       " " + PEER_USER + ") >/dev/null 2>&1";
    // Test processes running side by side may hold the password file's lock: try again.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (system(make.c_str()) == 0 && getpwnam(PEER_USER) != nullptr &&
            getgrnam(SHARED_GROUP) != nullptr)
            break;
        usleep(100 * 1000);
    }
    passwd *user = getpwnam(PEER_USER);
    group *shared = getgrnam(SHARED_GROUP);
    if (user == nullptr || shared == nullptr)
        return "groupadd/useradd could not make " + std::string(PEER_USER);
    peer->uid = user->pw_uid;
    peer->gid = user->pw_gid;
    peer->groups = {user->pw_gid, shared->gr_gid};
    std::string dir = kavitest::make_temp_dir();
    peer->program = dir + "/access_peer";
    std::filesystem::copy_file(kavitest::executable_dir() + "/access_peer", peer->program);
    chmod(dir.c_str(), 0755);
    chmod(peer->program.c_str(), 0755);
    return "";
}

class Access : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = make_peer(&peer_);
        if (!why.empty()) GTEST_SKIP() << "second-user tests skipped: " << why;
        out_dir_ = kavitest::make_temp_dir();
    }

    // start_peer: the peer program as the second user on this test's node, its output going to
    // a file of its own; `env` adds "NAME=value" entries.
    Child start_peer(const std::vector<std::string> &args, const std::string &out,
                     const std::vector<std::string> &env = {}) {
        std::vector<std::string> argv = {peer_.program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envv = {"KAVI_NODE=" + plat::node_name(), "PATH=/usr/bin:/bin"};
        envv.insert(envv.end(), env.begin(), env.end());
        std::vector<char *> a, e;
        for (auto &s : argv) a.push_back(s.data());
        for (auto &s : envv) e.push_back(s.data());
        a.push_back(nullptr);
        e.push_back(nullptr);
        // Only system calls between fork and exec: this process has threads.
        return Child::fork_run([&] {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) return 126;
            if (setgroups(peer_.groups.size(), peer_.groups.data()) != 0 ||
                setresgid(peer_.gid, peer_.gid, peer_.gid) != 0 ||
                setresuid(peer_.uid, peer_.uid, peer_.uid) != 0)
                return 125;
            execve(a[0], a.data(), e.data());
            return 127;
        });
    }

    // peer: runs one command as the second user and returns what it printed.
    std::string peer(const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {}) {
        std::string out = out_dir_ + "/peer" + std::to_string(++runs_) + ".txt";
        EXPECT_EQ(start_peer(args, out, env).wait(10000), 0);
        return kavitest::read_file(out);
    }

    // owner_file: the socket file of the owner's task, where the second user would have to write.
    static std::string owner_file(const std::string &task) {
        return "/tmp/kavi-" + std::to_string(geteuid()) + "/" + plat::node_name() +
               ".KAVCACM\\TASK\\" + task;
    }

    Peer peer_;
    std::string out_dir_;
    int runs_ = 0;
};

// Nothing the second user tries reaches the owner's task; the task then still gets the owner's
// own messages.
TEST_F(Access, AnotherUserCannotListReachOrShutDownTheOwnersNode) {
    using namespace kavc;
    using namespace kavitest;
    Started owned = start("OWNED");
    ASSERT_EQ(owned.rc, VULC_OK);
    ASSERT_EQ(access(owner_file("OWNED").c_str(), F_OK), 0) << "the layout the test assumes";
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
    EXPECT_EQ(peer({"raw", owner_file("OWNED")}), "errno=" + std::to_string(EACCES) + "\n");
    EXPECT_EQ(peer({"shutdown"}), "rc=0 ended=0\n");

    EXPECT_EQ(waiting.get(), VULC_SEM_TIMEOUT) << "the owner's wait was not ended";
    void *buffer = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(receive("OWNED", owned.receive_handle, &buffer, &length), VULC_NO_DATA);
    void *mine = allocate("OWNED", VULC_HEADER_LENGTH);
    ASSERT_EQ(send("OWNED", "OWNED", mine, VULC_HEADER_LENGTH), VULC_OK);
    release("OWNED", mine);
    ASSERT_EQ(receive_wait("OWNED", owned.receive_handle, &buffer, &length, 5000), VULC_OK);
    release("OWNED", buffer);
    EXPECT_EQ(stop("OWNED"), VULC_OK);
}

// Names the second user holds are its own: the owner's task and waits start all the same.
TEST_F(Access, AnotherUserCannotTakeTheOwnersNames) {
    using namespace kavc;
    using namespace kavitest;
    std::string tasks = out_dir_ + "/tasks.txt", waits = out_dir_ + "/waits.txt";
    Child holder = start_peer({"hold", "TAKEN"}, tasks);
    Child wait_holder = start_peer({"hold-waits", std::to_string(getpid()), "300"}, waits);
    ASSERT_TRUE(eventually([&] { return read_file(tasks) == "held=1\n"; }, 5000));
    ASSERT_TRUE(eventually([&] { return read_file(waits) == "held=300\n"; }, 5000));

    EXPECT_EQ(start("TAKEN").rc, VULC_OK);
    EXPECT_EQ(vulcsemwait(0, 10), VULC_SEM_TIMEOUT);
    EXPECT_EQ(stop("TAKEN"), VULC_OK);
}

// With KAVI_GROUP naming a group, its members share the node: the second user, a member, lists,
// reaches and shuts down the owner's node.
TEST_F(Access, AMemberOfTheConfiguredGroupSharesTheNode) {
    using namespace kavc;
    using namespace kavitest;
    setenv("KAVI_GROUP", SHARED_GROUP, 1);
    Started shared = start("SHARED");
    ASSERT_EQ(shared.rc, VULC_OK);
    struct stat st;
    ASSERT_EQ(stat(("/tmp/kavi-g" + std::to_string(getgrnam(SHARED_GROUP)->gr_gid)).c_str(), &st),
              0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(S_ISGID | 0770));
    auto waiting = std::async(std::launch::async, [] { return vulcsemwait(0, 5000); });
    const std::vector<std::string> group = {std::string("KAVI_GROUP=") + SHARED_GROUP};

    EXPECT_EQ(peer({"list"}, group), "rc=0 count=1 SHARED  \n");
    EXPECT_EQ(peer({"send", "SHARED"}, group), "rc=0\n");
    void *buffer = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(receive_wait("SHARED", shared.receive_handle, &buffer, &length, 5000), VULC_OK);
    EXPECT_EQ(std::string(static_cast<char *>(buffer) + VULC_HDR_ORIGIN_NAME, 8), "PEER    ");
    release("SHARED", buffer);
    ASSERT_TRUE(eventually([&] { return peer({"shutdown"}, group) == "rc=0 ended=1\n"; }, 5000));
    EXPECT_EQ(waiting.get(), VULC_SEM_SHUTDOWN);
    EXPECT_EQ(stop("SHARED"), VULC_OK);
}

}  // namespace
