// kavi_list_shutdown_test.cpp — `kavi list` and `kavi shutdown` against tasks and waits of real
// processes, and the usage of every subcommand.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/task_client.h"
#include "tests/tools/kavi_run.h"

using namespace kavc;
using namespace kavitest;

namespace {

Child holder(const std::string &task, const std::string &node = "") {
    return Child::fork_run([task, node] {
        if (!node.empty()) setenv("KAVI_NODE", node.c_str(), 1);
        if (start(task).rc != VULC_OK) return 1;
        for (;;) pause();
    });
}

}  // namespace

TEST(KaviList, ListsTheTasksOfTheNodeWithTheirProcesses) {
    std::string other_node = std::string(getenv("KAVI_NODE")) + "B";
    Child gamma = holder("GAMMA");
    Child delta = holder("DELTA", other_node);
    ASSERT_EQ(start("ALPHA").rc, VULC_OK);
    ASSERT_EQ(start("KVSTORE").rc, VULC_OK);  // only KV and six hex digits is kavi's own
    ASSERT_TRUE(eventually([] { return check("GAMMA") == VULC_OK; }, 5000));

    Outcome json = kavi({"list", "--json"});
    EXPECT_EQ(json.code, 0);
    // Tasks that are not exits do not answer the query: the node's pid alone describes them.
    EXPECT_TRUE(holds(json.out, "{\"name\": \"ALPHA\", \"pid\": " + std::to_string(getpid()) +
                                    ", \"process\": null,"));
    EXPECT_TRUE(holds(json.out, "{\"name\": \"GAMMA\", \"pid\": " + std::to_string(gamma.pid()) +
                                    ", \"process\": null,"));
    EXPECT_TRUE(holds(json.out, "{\"name\": \"KVSTORE\""));
    EXPECT_FALSE(std::regex_search(json.out, std::regex("\"KV[0-9A-F]{6}\"")))
        << "kavi's own task: " << json.out;
    EXPECT_EQ(json.out.find("DELTA"), std::string::npos) << json.out;

    Outcome text = kavi({"list", "--node", other_node});
    EXPECT_EQ(text.code, 0);
    EXPECT_TRUE(holds(text.out, ": 1 exit\n"));
    EXPECT_TRUE(holds(text.out, "DELTA"));
    EXPECT_EQ(text.out.find("ALPHA"), std::string::npos) << text.out;
}

TEST(KaviShutdown, EndsEveryWaitOnTheNode) {
    Child waiter = Child::fork_run([] { return static_cast<int>(vulcsemwait(0, 10000)); });
    std::string busy_node = std::string(getenv("KAVI_NODE")) + "C";
    Child elsewhere = Child::fork_run([busy_node] {
        setenv("KAVI_NODE", busy_node.c_str(), 1);
        return static_cast<int>(vulcsemwait(0, 1000));
    });
    ASSERT_TRUE(eventually([] { return kavi({"shutdown"}).out == "1 wait ended\n"; }, 5000));
    EXPECT_EQ(waiter.wait(5000), static_cast<int>(VULC_SEM_SHUTDOWN));
    EXPECT_EQ(elsewhere.wait(5000), static_cast<int>(VULC_SEM_TIMEOUT));  // another node's wait
}

TEST(Kavi, EverySubcommandHasHelpAndRefusesUnknownOptions) {
    for (const char *sub : {"list", "shutdown"}) {
        Outcome help = kavi({sub, "--help"});
        EXPECT_EQ(help.code, 0) << sub;
        EXPECT_EQ(help.out.rfind(std::string("usage: kavi ") + sub, 0), 0u) << help.out;
        EXPECT_EQ(kavi({sub, "--bogus"}).code, 2) << sub;
    }
    EXPECT_EQ(kavi({"--help"}).code, 0);
    EXPECT_EQ(kavi({"nonsense"}).code, 2);
    EXPECT_EQ(kavi({}).code, 2);
}

// A node name longer than a node address is refused, from --node or KAVI_NODE alike, with a
// message that says so.
TEST(Kavi, NodeNameLongerThan24CharactersIsRefused) {
    const std::string longer(25, 'N');
    // kavi with its standard error in its output.
    auto refused = [](std::vector<std::string> args, const std::string &node_variable) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                         executable_dir() + "/kavi"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out = make_temp_dir() + "/out";
        Child child = Child::spawn(argv, {"KAVI_NODE=" + node_variable}, out);
        int code = child.wait(10000);
        return code == 2 && read_file(out).find("longer than 24 characters") != std::string::npos;
    };
    std::string node = getenv("KAVI_NODE");
    for (const char *sub : {"list", "shutdown"}) {
        EXPECT_TRUE(refused({sub, "--node", longer}, node)) << sub;
        EXPECT_TRUE(refused({sub}, longer)) << sub;
    }
    EXPECT_TRUE(refused({"send", "SOMEEXIT"}, longer));
    EXPECT_EQ(kavi({"list", "--node", std::string(24, 'N') + "  "}).code, 0);
}
