// kavi_list_shutdown_test.cpp — `kavi list` and `kavi shutdown` against tasks and waits of real
// processes, and the node name they take.
#include <stdlib.h>
#include <unistd.h>

#include <regex>

#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/task_client.h"
#include "tests/tools/kavi_run.h"

using namespace kavc;
using namespace kavitest;

namespace {

TEST(KaviList, ListsTheTasksOfTheNodeWithTheirProcesses) {
    std::string other_node = std::string(getenv("KAVI_NODE")) + "B";
    auto holder = [](const std::string &task, const std::string &node) {
        return Child::fork_run([task, node] {
            setenv("KAVI_NODE", node.c_str(), 1);
            if (start(task).rc != VULC_OK) return 1;
            for (;;) pause();
        });
    };
    Child gamma = holder("GAMMA", getenv("KAVI_NODE")), delta = holder("DELTA", other_node);
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
    EXPECT_FALSE(std::regex_search(json.out, std::regex("\"KV[0-9A-F]{6}\""))) << json.out;
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

// A node name longer than a node address is refused, from --node or KAVI_NODE alike, with a
// message that says so.
TEST(Kavi, NodeNameLongerThan24CharactersIsRefused) {
    const std::string longer(25, 'N'), node = getenv("KAVI_NODE");
    auto refused = [](const std::vector<std::string> &args, const std::string &node_variable) {
        Outcome o = run("KAVI_NODE='" + node_variable + "' " + kavi_line(args));
        return o.code == 2 && o.err.find("longer than 24 characters") != std::string::npos;
    };
    for (const char *sub : {"list", "shutdown"}) {
        EXPECT_TRUE(refused({sub, "--node", longer}, node)) << sub;
        EXPECT_TRUE(refused({sub}, longer)) << sub;
    }
    EXPECT_TRUE(refused({"send", "SOMEEXIT"}, longer));
    EXPECT_EQ(kavi({"list", "--node", std::string(24, 'N') + "  "}).code, 0);
}

}  // namespace
