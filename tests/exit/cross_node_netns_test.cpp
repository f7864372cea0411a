// cross_node_netns_test.cpp — two nodes in two network namespaces the test makes, joined only by
// a veth pair to the NATS server: no message can take the local transport, whose names live in
// a namespace each. Needs root; the namespaces are removed afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/nats_server.h"

namespace {

using namespace kavitest;

// Link-local addresses, assigned inside the test's own namespaces: they cannot leave the pair.
constexpr char ADDRESS_A[] = "169.254.215.1";
constexpr char ADDRESS_B[] = "169.254.215.2";

bool run(const std::string &command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class CrossNodeNetns : public ::testing::Test {
  protected:
    void SetUp() override {
        if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
        if (geteuid() != 0) GTEST_SKIP() << "making network namespaces needs root";
        std::string id = std::to_string(getpid());
        ns_a_ = "kavi-a-" + id;
        ns_b_ = "kavi-b-" + id;
        ASSERT_TRUE(run("ip netns add " + ns_a_) && run("ip netns add " + ns_b_));
        made_ = true;
        std::string veth_a = "kva" + id, veth_b = "kvb" + id;
        ASSERT_TRUE(run("ip link add " + veth_a + " netns " + ns_a_ + " type veth peer name " +
                        veth_b + " netns " + ns_b_));
        ASSERT_TRUE(run("ip -n " + ns_a_ + " addr add " + ADDRESS_A + "/30 dev " + veth_a));
        ASSERT_TRUE(run("ip -n " + ns_b_ + " addr add " + ADDRESS_B + "/30 dev " + veth_b));
        for (const auto &[ns, dev] : {std::pair{ns_a_, veth_a}, {ns_b_, veth_b}})
            ASSERT_TRUE(run("ip -n " + ns + " link set lo up") &&
                        run("ip -n " + ns + " link set " + dev + " up"));
        ASSERT_TRUE(server_.start("", ADDRESS_B, in(ns_b_)));
    }
    void TearDown() override {
        for (Child &c : children_) c.kill(SIGKILL);
        children_.clear();
        server_.kill(SIGKILL);
        server_.wait(5000);
        if (made_) run("ip netns del " + ns_a_ + "; ip netns del " + ns_b_);
    }
    static std::vector<std::string> in(const std::string &ns) {
        return {"/usr/sbin/ip", "netns", "exec", ns};
    }

    // program: runs in namespace ns as node `node`, connected to the server.
    Child &program(const std::string &ns, const std::string &node,
                   const std::vector<std::string> &args, const std::string &out) {
        std::vector<std::string> argv = in(ns);
        argv.insert(argv.end(), args.begin(), args.end());
        children_.push_back(
            Child::spawn(argv, {"KAVI_NODE=" + node, "KAVI_NATS_URL=" + server_.url()}, out));
        return children_.back();
    }
    bool registered(const std::string &out, const std::string &word) {
        return eventually([&] { return read_file(out).find(word) != std::string::npos; }, 10000);
    }

    std::string ns_a_, ns_b_;
    bool made_ = false;
    NatsServer server_;
    std::vector<Child> children_;
};

}  // namespace

TEST_F(CrossNodeNetns, KaviAndKaviSendReachAnExitInAnotherNamespace) {
    std::string dir = make_temp_dir(), a = unique_node("NSA"), b = unique_node("NSB");
    program(ns_b_, b, {executable_dir() + "/kavi_test_exit", "TEXIT", "1"}, dir + "/texit.out");
    ASSERT_TRUE(registered(dir + "/texit.out", "registered"));
    program(ns_a_, a, {executable_dir() + "/relay_exit", "RELAY", "TEXIT", b}, dir + "/relay.out");
    ASSERT_TRUE(registered(dir + "/relay.out", "registered"));

    // kavi on node A straight to the exit on B, then through the relay exit on A with KaviSend.
    for (const auto &[exit, node] : {std::pair{"TEXIT", b}, {"RELAY", a}}) {
        std::vector<std::string> argv = in(ns_a_);
        argv.insert(argv.end(),
                    {executable_dir() + "/kavi", "send", exit, "--node", node, "--set",
                     "command_name=STATUS", "--set", "command_string=0x21", "--timeout", "10"});
        std::string out = dir + "/kavi-" + exit + ".out";
        Child kavi = Child::spawn(
            argv, {"KAVI_NODE=" + unique_node("TOOL"), "KAVI_NATS_URL=" + server_.url()}, out);
        EXPECT_EQ(kavi.wait(20000), 1) << read_file(out);  // status 0x21, not 0
        EXPECT_NE(read_file(out).find("33"), std::string::npos) << read_file(out);
    }
    EXPECT_NE(read_file(dir + "/relay.out").find("STATUS -> TEXIT: status 33"), std::string::npos)
        << read_file(dir + "/relay.out");
}
