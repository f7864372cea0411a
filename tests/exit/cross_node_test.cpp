// cross_node_test.cpp — exits on nodes that share only NATS: KaviSend and kavi across nodes, a
// target that is not there or dies, a cluster server killed under load, servers that require
// credentials and TLS, and two nodes in network namespaces of their own.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "kaviexit.h"
#include "tests/support/nats_server.h"
#include "tests/tools/kavi_run.h"

namespace {

using namespace kavitest;
using Clock = std::chrono::steady_clock;

uint32_t KAVI_CALL never_called(_VULE_PARAMETERS32 *) {
    return 0;
}

std::string padded24(const std::string &s) {
    return s + std::string(24 - s.size(), ' ');
}

// send_status: a command from CALLER whose target answers with `status`.
uint32_t send_status(const std::string &node, uint16_t status, const char *target = "TEXIT",
                     uint16_t numb = 0) {
    char name[16] = "STATUS", text[16];
    std::snprintf(text, sizeof text, "%u", status);
    _VULE_PARAMETERS32 b{};
    b.command_name = name;
    b.command_string = text;
    b.correlation_id.numb = numb;
    return KaviSend("CALLER  ", target, node.c_str(), &b);
}

// ExitProgram: an exit program (the test exit TEXIT unless told) as node `node`, with the NATS
// settings in env, through launcher when given; what it printed and said go to files.
struct ExitProgram {
    ExitProgram(const std::string &node, const std::vector<std::string> &env,
                const std::vector<std::string> &launcher = {},
                std::vector<std::string> program = {}) {
        if (program.empty()) program = {executable_dir() + "/kavi_test_exit", "TEXIT", "1"};
        std::string dir = make_temp_dir();
        out = dir + "/out";
        said = dir + "/said";
        std::vector<std::string> argv = launcher;
        argv.insert(argv.end(), {"/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", said});
        argv.insert(argv.end(), program.begin(), program.end());
        std::vector<std::string> all = env;
        all.push_back("KAVI_NODE=" + node);
        child = Child::spawn(argv, all, out);
    }
    bool shows(const std::string &text) { return file_shows(out, text, 10000); }
    std::string out, said;
    Child child;
};

// join: this process becomes node `node` with the settings ("NAME=value") and starts CALLER.
void join(const std::string &node, const std::vector<std::string> &settings) {
    setenv("KAVI_NODE", node.c_str(), 1);
    for (const std::string &s : settings) {
        size_t eq = s.find('=');
        setenv(s.substr(0, eq).c_str(), s.substr(eq + 1).c_str(), 1);
    }
    ASSERT_EQ(KaviInit("CALLER", never_called, 1), VULE_OK);
}

// A node of this process (A) with the exit CALLER, and TEXIT on node B, on one server.
class CrossNode : public ::testing::Test {
  protected:
    void SetUp() override {
        if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
        ASSERT_TRUE(server_.start());
        target_.emplace(there_, std::vector<std::string>{"KAVI_NATS_URL=" + server_.url()});
        ASSERT_TRUE(target_->shows("registered"));
        join(here_, {"KAVI_NATS_URL=" + server_.url()});
    }
    void TearDown() override {
        if (!IsSkipped()) KaviTerminate("CALLER  ");
    }
    NatsServer server_;
    std::string here_ = unique_node("A"), there_ = unique_node("B");
    std::optional<ExitProgram> target_;
};

}  // namespace

TEST_F(CrossNode, KaviSendGetsStatusAndCopyBackWithTheAddressesMaskedOrUnreachableAtOnce) {
    EXPECT_EQ(send_status(there_, 0x1234, "texit"), 0x1234u);

    char name[16] = "ADDRESSES", display[64];
    std::memset(display, '.', sizeof display - 1);
    display[sizeof display - 1] = '\0';
    _VULE_PARAMETERS32 b{};
    b.command_name = name;
    b.display_name = display;
    std::strcpy(b.server_ip_addr, padded24(there_).c_str());
    std::strcpy(b.client_ip_addr, padded24(here_).c_str());
    EXPECT_EQ(KaviSend("CALLER  ", "TEXIT", there_.c_str(), &b), 0u);
    // The target saw its own node as asterisks and the caller's as at-signs; the caller's own
    // fields are as it gave them.
    EXPECT_EQ(std::string(b.display_name), std::string(24, '*') + "|" + std::string(24, '@'));
    EXPECT_EQ(std::string(b.exit_name), "TEXIT   ");
    EXPECT_EQ(std::string(b.server_ip_addr), padded24(there_));

    auto began = Clock::now();
    EXPECT_EQ(send_status(there_, 0, "NOBODY"), VULE_EXIT_ENDED);
    EXPECT_EQ(send_status(unique_node("C"), 0), VULE_EXIT_ENDED);
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(1));
}

TEST_F(CrossNode, ATargetWhoseProcessDiesMidCommandEndsTheWaitWith8001) {
    std::thread killer([&] {
        if (target_->shows("held")) target_->child.kill(SIGKILL);
    });
    char name[16] = "HOLD";
    _VULE_PARAMETERS32 b{};
    b.command_name = name;
    auto began = Clock::now();
    EXPECT_EQ(KaviSend("CALLER  ", "TEXIT", there_.c_str(), &b), VULE_EXIT_ENDED);
    killer.join();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(5));
}

TEST_F(CrossNode, KaviSendsListsSeesNodesAndShutsDownAcrossNodes) {
    auto tool = [](const std::vector<std::string> &args) {
        return run("KAVI_NODE=" + unique_node("TOOL") + " " + kavi_line(args));
    };
    Outcome sent = tool({"send", "TEXIT", "--node", there_, "--set", "command_name=STATUS", "--set",
                         "command_string=0x12", "--timeout", "10"});
    EXPECT_EQ(sent.code, 1);  // a status other than 0
    EXPECT_TRUE(holds(sent.out, "18"));
    Outcome listed = tool({"list", "--node", there_});
    EXPECT_EQ(listed.code, 0);
    EXPECT_TRUE(holds(listed.out, "TEXIT"));
    EXPECT_FALSE(holds(listed.out, "CALLER"));  // node A's own
    Outcome nodes = tool({"nodes", "--json"});
    EXPECT_TRUE(holds(nodes.out, "\"" + there_ + "\"") && holds(nodes.out, "\"" + here_ + "\""));
    EXPECT_EQ(tool({"list", "--node", unique_node("NOWHERE")}).code, 1);
    // The exit program says "registered" just before it waits: until then no wait can end.
    // What each try printed is shown if none ends it.
    std::string tries;
    EXPECT_TRUE(eventually(
        [&] {
            Outcome stopped = tool({"shutdown", "--node", there_});
            tries += std::to_string(stopped.code) + ": " + stopped.out + stopped.err;
            return holds(stopped.out, "1 wait ended");
        },
        30000))
        << tries << "the exit program wrote: " << read_file(target_->said);
    EXPECT_EQ(target_->child.wait(10000), 0);  // KaviWait returned, the exit ended cleanly
}

TEST(CrossNodeFailure, AServerOfTheClusterDiesWhileAThousandCommandsFlow) {
    if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
    NatsServer first, second, third;
    ASSERT_TRUE(first.start("cluster { name: kavi, listen: \"127.0.0.1:-1\" }"));
    std::string routes =
        "cluster { name: kavi, listen: \"127.0.0.1:-1\", routes: [\"" + first.route_url() + "\"] }";
    ASSERT_TRUE(second.start(routes) && third.start(routes));
    // Both nodes start on the server that dies and learn the others from it.
    std::string there = unique_node("B");
    ExitProgram target(there, {"KAVI_NATS_URL=" + first.url(), "KAVI_START_PAUSE_MS=1"});
    ASSERT_TRUE(target.shows("registered"));
    join(unique_node("A"), {"KAVI_NATS_URL=" + first.url()});
    ASSERT_TRUE(eventually([&] { return send_status(there, 7) == 7; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the cluster's routes settle

    constexpr int THREADS = 8, PER_THREAD = 125, ALL = THREADS * PER_THREAD;
    std::atomic<int> done{0}, answered{0}, ended{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < THREADS; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < PER_THREAD; ++i) {
                auto numb = static_cast<uint16_t>(t * PER_THREAD + i + 1);
                uint32_t rc = send_status(there, numb, "TEXIT", numb);
                if (rc == numb) ++answered;
                if (rc == VULE_EXIT_ENDED) ++ended;
                ++done;
            }
        });
    }
    if (eventually([&] { return done.load() >= 300; }, 30000)) first.kill(SIGKILL);
    // A call that hung keeps `done` short of the total; the process then ends with the failure.
    bool all_returned = eventually([&] { return done.load() == ALL; }, 60000);
    for (std::thread &s : senders) all_returned ? s.join() : s.detach();
    ASSERT_TRUE(all_returned) << done.load() << " of " << ALL << " returned";
    EXPECT_EQ(answered.load() + ended.load(), ALL);  // and no other code
    EXPECT_GT(answered.load(), 300);
    // No command ran twice: the exit ran at most one per command, and every answered one.
    std::string ran = read_file(target.out);
    size_t invoked = 0;
    for (size_t at = ran.find("invoked STATUS"); at != std::string::npos;
         at = ran.find("invoked STATUS", at + 1))
        ++invoked;
    EXPECT_LE(invoked, static_cast<size_t>(ALL + 1));
    EXPECT_GE(invoked, static_cast<size_t>(answered.load() + 1));
    // Both nodes reconnected to the servers left.
    EXPECT_TRUE(eventually([&] { return send_status(there, 9) == 9; }, 10000));
    KaviTerminate("CALLER  ");
}

namespace {

// Test keys: a user nkey and its seed, as nats-server configurations and clients write them.
constexpr char NKEY_USER[] = "UB5JJUBHTF6MADAQJMCXCI3RMC4X7BZ7IRQGONSSG7OTZBIP5YIJ5U7F";
constexpr char NKEY_SEED[] = "SUAIM56SUWRIAJQJD5DP2VJAJ2BLKNTH3GBAS7CSKL2UDDCQ5PUGEYPABE";

// make_keys: a CA, a server certificate for 127.0.0.1 and a client certificate it signed, and
// the nkey seed file, in dir.
bool make_keys(const std::string &dir) {
    std::ofstream(dir + "/ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    std::ofstream(dir + "/nkey.seed") << NKEY_SEED << "\n";
    std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::string sign = " -CA ca.pem -CAkey ca.key -CAcreateserial -days 1";
    std::string commands = "cd " + dir + " && openssl req -x509" + key +
                           " -keyout ca.key -out ca.pem -days 1 -subj /CN=kavi-test-ca";
    for (std::string who : {"server", "client"})
        commands += " && openssl req" + key + " -keyout " + who + ".key -out " + who +
                    ".csr -subj /CN=" + who + " && openssl x509 -req -in " + who + ".csr" + sign +
                    " -out " + who + ".pem" + (who == "server" ? " -extfile ext" : "");
    return std::system(("(" + commands + ") >/dev/null 2>&1").c_str()) == 0;
}

// A server that requires something, the settings that satisfy it, and settings that do not
// with what the refused node says. "$D" stands for the directory of the keys.
struct Guarded {
    const char *name;
    std::string server;  // what it requires besides TLS; "VERIFY": a client certificate
    std::vector<std::string> right, wrong;
    const char *why;
};

const Guarded GUARDED[] = {
    {"Password",
     "authorization { user: kavi, password: s3cret }",
     {"KAVI_NATS_USER=kavi", "KAVI_NATS_PASSWORD=s3cret"},
     {"KAVI_NATS_USER=kavi", "KAVI_NATS_PASSWORD=guess"},
     "Authorization Violation"},
    {"TrustedCa", "", {}, {"KAVI_NATS_CA=", "KAVI_NATS_TLS=1"}, "SSL"},
    {"Nkey",
     "authorization { users: [ { nkey: " + std::string(NKEY_USER) + " } ] }",
     {"KAVI_NATS_NKEY=" + std::string(NKEY_USER), "KAVI_NATS_NKEY_SEED=$D/nkey.seed"},
     {"KAVI_NATS_TOKEN=s3cret"},
     "Authorization Violation"},
    {"CredentialsFile",
     read_file(std::string(KAVI_SOURCE_DIR) + "/tests/support/nats_operator.conf"),
     {"KAVI_NATS_CREDS=" + std::string(KAVI_SOURCE_DIR) + "/tests/support/nats_user.creds"},
     {"KAVI_NATS_TOKEN=s3cret"},
     "Authorization Violation"},
    {"ClientCertificate",
     "VERIFY",
     {"KAVI_NATS_CERT=$D/client.pem", "KAVI_NATS_KEY=$D/client.key"},
     {},
     "cannot connect to tls://"},  // the server hangs up after the handshake
};

std::vector<std::string> in_dir(std::vector<std::string> settings, const std::string &dir) {
    for (std::string &s : settings)
        if (size_t at = s.find("$D"); at != std::string::npos) s.replace(at, 2, dir);
    return settings;
}

void PrintTo(const Guarded &g, std::ostream *os) {
    *os << g.name;
}

class CrossNodeSecurity : public ::testing::TestWithParam<Guarded> {};

}  // namespace

// Every server also requires TLS under the test's CA. A node with the right settings reaches
// the exit on another; one without cannot start its exits, and says why once.
TEST_P(CrossNodeSecurity, OnlyNodesWithTheRightSettingsTalk) {
    if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
    const Guarded &g = GetParam();
    std::string dir = make_temp_dir();
    ASSERT_TRUE(make_keys(dir)) << "openssl could not make the test CA";
    bool verify = g.server == "VERIFY";
    NatsServer server;
    ASSERT_TRUE(server.start("tls { cert_file: \"" + dir + "/server.pem\", key_file: \"" + dir +
                             "/server.key\"" +
                             (verify ? ", ca_file: \"" + dir + "/ca.pem\", verify: true" : "") +
                             " }\n" + (verify ? "" : g.server)));
    std::vector<std::string> base = {"KAVI_NATS_URL=" + server.url(),
                                     "KAVI_NATS_CA=" + dir + "/ca.pem"};
    std::vector<std::string> right = base, wrong = base;
    for (const std::string &s : in_dir(g.right, dir)) right.push_back(s);
    for (const std::string &s : in_dir(g.wrong, dir)) wrong.push_back(s);

    std::string there = unique_node("B");
    ExitProgram target(there, right);
    ASSERT_TRUE(target.shows("registered")) << read_file(target.said);
    ExitProgram refused(unique_node("WRONG"), wrong);
    EXPECT_EQ(refused.child.wait(15000), 1);  // KaviInit failed: the exit never started
    std::string said = read_file(refused.said);
    std::string line = "the NATS transport cannot start";
    EXPECT_TRUE(holds(said, line) && holds(said, g.why));
    EXPECT_EQ(said.find(line), said.rfind(line)) << said;

    join(unique_node("A"), right);
    EXPECT_EQ(send_status(there, 42), 42u);
    KaviTerminate("CALLER  ");
}

INSTANTIATE_TEST_SUITE_P(Servers, CrossNodeSecurity, ::testing::ValuesIn(GUARDED),
                         [](const auto &info) { return std::string(info.param.name); });

// Two namespaces the test makes, joined only by a veth pair to the NATS server: no message can
// take the local transport, whose names live in a namespace each. Needs root.
TEST(CrossNodeNetns, KaviAndKaviSendReachAnExitInAnotherNamespace) {
    if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
    if (geteuid() != 0) GTEST_SKIP() << "making network namespaces needs root";
    auto sh = [](const std::string &line) { return run(line).code == 0; };
    std::string id = std::to_string(getpid()), ns_a = "kavi-a-" + id, ns_b = "kavi-b-" + id;
    // Link-local addresses inside the test's own namespaces: they cannot leave the pair.
    std::string setup = "ip netns add " + ns_a + " && ip netns add " + ns_b +
                        " && ip link add kva" + id + " netns " + ns_a + " type veth peer name kvb" +
                        id + " netns " + ns_b;
    for (auto [ns, dev, address] : {std::tuple{ns_a, "kva" + id, "169.254.215.1"},
                                    std::tuple{ns_b, "kvb" + id, "169.254.215.2"}})
        setup += " && ip -n " + ns + " addr add " + address + "/30 dev " + dev + " && ip -n " + ns +
                 " link set lo up && ip -n " + ns + " link set " + dev + " up";
    bool made = sh(setup);
    auto in = [](const std::string &ns) {
        return std::vector<std::string>{"/bin/ip", "netns", "exec", ns};
    };
    NatsServer server;
    std::string a = unique_node("NSA"), b = unique_node("NSB");
    if (made && server.start("", "169.254.215.2", in(ns_b))) {
        std::vector<std::string> nats = {"KAVI_NATS_URL=" + server.url()};
        ExitProgram target(b, nats, in(ns_b));
        ExitProgram relay(a, nats, in(ns_a),
                          {executable_dir() + "/relay_exit", "RELAY", "TEXIT", b});
        EXPECT_TRUE(target.shows("registered") && relay.shows("registered"));
        // kavi on node A straight to the exit on B, then through the relay exit on A (KaviSend).
        for (const auto &[exit, node] : {std::pair{"TEXIT", b}, {"RELAY", a}}) {
            std::string line =
                kavi_line({"send", exit, "--node", node, "--set", "command_name=STATUS", "--set",
                           "command_string=0x21", "--timeout", "10"});
            line.replace(0, std::strlen("exec "), "exec ip netns exec " + ns_a + " ");
            Outcome sent = run("KAVI_NODE=" + unique_node("TOOL") +
                               " KAVI_NATS_URL=" + server.url() + " " + line);
            EXPECT_EQ(sent.code, 1) << sent.err;  // status 0x21, not 0
            EXPECT_TRUE(holds(sent.out, "33"));
        }
        EXPECT_TRUE(holds(read_file(relay.out), "STATUS -> TEXIT: status 33"));
        server.kill(SIGKILL);
    }
    sh("ip netns del " + ns_a + "; ip netns del " + ns_b);
    EXPECT_TRUE(made);
}
