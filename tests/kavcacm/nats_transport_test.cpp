// nats_transport_test.cpp — messages between two nodes that share only a real nats-server:
// header bytes intact, replies to the origin, order kept, unreachable at once, and the settings
// that keep the transport from starting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/subjects.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/child_process.h"
#include "tests/support/nats_server.h"

using namespace kavc;
using namespace kavitest;

namespace {

uint16_t u16(const void *msg, size_t at) {
    auto *p = static_cast<const unsigned char *>(msg) + at;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::string text(const void *msg, size_t at, size_t len) {
    return std::string(static_cast<const char *>(msg) + at, len);
}

std::string node24(const std::string &node) {
    return node + std::string(24 - node.size(), ' ');
}

// echo_on: a node of its own whose task `name` answers each command, 10 bytes longer, to its
// origin; ends on function code 3. Forked before the test's process uses the service.
Child echo_on(const std::string &node, const std::string &name) {
    return Child::fork_run([node, name] {
        setenv("KAVI_NODE", node.c_str(), 1);
        Started s = start(name);
        if (s.rc != VULC_OK) return 10;
        for (;;) {
            void *msg = nullptr;
            uint32_t len = 0;
            if (receive_wait(name, s.receive_handle, &msg, &len, 20000) != VULC_OK) return 11;
            if (u16(msg, VULC_HDR_FUNCTION) == 3) return release(name, msg) == VULC_OK ? 0 : 12;
            std::memset(static_cast<char *>(msg) + len, 'R', 10);
            std::string origin = text(msg, VULC_HDR_ORIGIN_NAME, 8);
            std::string from = text(msg, VULC_HDR_ORIGIN_NODE, 24);
            if (send(name, origin, msg, len + 10, 0, from) != VULC_OK) return 13;
            if (release(name, msg) != VULC_OK) return 14;
        }
    });
}

class NatsTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
        ASSERT_TRUE(server_.start());
        setenv("KAVI_NATS_URL", server_.url().c_str(), 1);
    }
    // join: this process becomes a node of its own.
    void join(const std::string &node) { setenv("KAVI_NODE", node.c_str(), 1); }
    NatsServer server_;
};

void *command(const std::string &task, uint32_t length, char fill) {
    void *buffer = allocate(task, length);
    if (buffer != nullptr) std::memset(static_cast<char *>(buffer) + 112, fill, length - 112);
    return buffer;
}

}  // namespace

TEST_F(NatsTransport, CommandsAndRepliesCrossNodesWithTheirHeadersIntact) {
    std::string there = unique_node("THERE"), here = unique_node("HERE");
    Child echo = echo_on(there, "ECHO");
    join(here);
    Started me = start("CLIENT");
    ASSERT_EQ(me.rc, VULC_OK);
    ASSERT_TRUE(
        eventually([&] { return vulcfindtask(node24(there).c_str(), "ECHO    ") == 0; }, 10000));
    for (uint32_t length : {112u, 470u, 65535u - 10}) {
        void *cmd = command("CLIENT", length, 'C');
        ASSERT_EQ(send("CLIENT", "ECHO", cmd, length, 0, there), VULC_OK);
        std::string sent(static_cast<char *>(cmd), length);
        release("CLIENT", cmd);
        void *reply = nullptr;
        uint32_t len = 0;
        ASSERT_EQ(receive_wait("CLIENT", me.receive_handle, &reply, &len, 5000), VULC_OK);
        ASSERT_EQ(len, length + 10);
        // The service fields (message id, send time) come back as they went out.
        EXPECT_EQ(text(reply, VULC_HDR_SERVICE_LEVEL, 112 - VULC_HDR_SERVICE_LEVEL),
                  sent.substr(VULC_HDR_SERVICE_LEVEL, 112 - VULC_HDR_SERVICE_LEVEL));
        EXPECT_EQ(text(reply, VULC_HDR_ORIGIN_NAME, 8), "ECHO    ");
        EXPECT_EQ(text(reply, VULC_HDR_ORIGIN_NODE, 24), node24(there));
        EXPECT_EQ(text(reply, VULC_HDR_DEST_NAME, 8), "CLIENT  ");
        EXPECT_EQ(text(reply, 112, length - 112), sent.substr(112));
        release("CLIENT", reply);
    }
    void *end = command("CLIENT", 120, 0);
    ASSERT_EQ(send("CLIENT", "ECHO", end, 120, 3, there), VULC_OK);
    release("CLIENT", end);
    EXPECT_EQ(echo.wait(10000), 0);
}

TEST_F(NatsTransport, TheRouterAndTheOrderOfOneSenderHoldAcrossNodes) {
    std::string there = unique_node("THERE"), here = unique_node("HERE");
    Child echo = echo_on(there, "MYEXIT");
    join(here);
    Started me = start("CLIENT");
    ASSERT_EQ(me.rc, VULC_OK);
    ASSERT_TRUE(
        eventually([&] { return vulcfindtask(node24(there).c_str(), "MYEXIT  ") == 0; }, 10000));
    constexpr int COUNT = 200;
    for (int i = 0; i < COUNT; ++i) {
        void *cmd = command("CLIENT", 470, static_cast<char>(i));
        std::memcpy(static_cast<char *>(cmd) + VULC_ROUTER_NAME_OFFSET, "myexit", 7);
        ASSERT_EQ(send("CLIENT", "KAVIEXIT", cmd, 470, 0, there), VULC_OK);
        release("CLIENT", cmd);
    }
    for (int i = 0; i < COUNT; ++i) {
        void *reply = nullptr;
        uint32_t len = 0;
        ASSERT_EQ(receive_wait("CLIENT", me.receive_handle, &reply, &len, 5000), VULC_OK);
        EXPECT_EQ(static_cast<unsigned char *>(reply)[200], static_cast<unsigned char>(i));
        release("CLIENT", reply);
    }
    void *end = command("CLIENT", 470, 0);
    std::memcpy(static_cast<char *>(end) + VULC_ROUTER_NAME_OFFSET, "MYEXIT", 7);
    ASSERT_EQ(send("CLIENT", "KAVIEXIT", end, 470, 3, there), VULC_OK);
    release("CLIENT", end);
    EXPECT_EQ(echo.wait(10000), 0);
}

TEST_F(NatsTransport, NobodyServingTheTaskOrTheNodeIsUnreachableAtOnce) {
    std::string there = unique_node("THERE");
    Child echo = echo_on(there, "ECHO");
    join(unique_node("HERE"));
    ASSERT_EQ(start("CLIENT").rc, VULC_OK);
    ASSERT_TRUE(
        eventually([&] { return vulcfindtask(node24(there).c_str(), "ECHO    ") == 0; }, 10000));
    auto began = std::chrono::steady_clock::now();
    for (const auto &[node, task] :
         {std::pair{there, "NOBODY"}, {unique_node("NOWHERE"), "ECHO"}}) {
        void *cmd = command("CLIENT", 200, 'x');
        EXPECT_EQ(send("CLIENT", task, cmd, 200, 0, node), VULC_UNREACHABLE) << node << task;
        release("CLIENT", cmd);
        EXPECT_EQ(vulcfindtask(node24(node).c_str(), padded(task).c_str()), VULC_NOT_STARTED);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
    // A task that stops is gone from its node at once.
    echo.kill(SIGKILL);
    echo.wait(5000);
    EXPECT_TRUE(eventually(
        [&] { return vulcfindtask(node24(there).c_str(), "ECHO    ") == VULC_NOT_STARTED; }, 3000));
}

TEST_F(NatsTransport, ABinaryAddressReachesTheNodeThatDeclaresIt) {
    std::string address = "FFFFFFFF0A000001" + std::string(32, '0');
    std::string there = unique_node("THERE");
    setenv("KAVI_NATS_BINARY_NODE", address.c_str(), 1);
    Child echo = echo_on(there, "ECHO");
    unsetenv("KAVI_NATS_BINARY_NODE");
    join(unique_node("HERE"));
    Started me = start("CLIENT");
    ASSERT_EQ(me.rc, VULC_OK);
    char binary[24] = {'\xFF', '\xFF', '\xFF', '\xFF', '\x0A', 0, 0, '\x01'};
    char other[24] = {'\xFF', '\xFF', '\xFF', '\xFF', '\x0A', 0, 0, '\x02'};
    std::string binary_node(binary, 24);
    ASSERT_TRUE(eventually([&] { return vulcfindtask(binary, "ECHO    ") == 0; }, 10000));
    EXPECT_EQ(vulcfindtask(other, "ECHO    "), VULC_NOT_STARTED);
    void *cmd = command("CLIENT", 300, 'b');
    ASSERT_EQ(send("CLIENT", "ECHO", cmd, 300, 0, binary_node), VULC_OK);
    release("CLIENT", cmd);
    void *reply = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(receive_wait("CLIENT", me.receive_handle, &reply, &len, 5000), VULC_OK);
    EXPECT_EQ(len, 310u);
    release("CLIENT", reply);
    echo.kill(SIGKILL);
}

TEST(NatsSubjects, EveryAddressIsOneTokenAndNoneAWildcard) {
    const char *nodes[] = {"A.B                     ",
                           "A*                      ",
                           "A>                      ",
                           "A%2E                    ",
                           "a.b                     ",
                           "A B                     ",
                           "\xFF\xFF\xFF\xFF.*>\x00\x01 abcdefghijklmnop"};
    std::vector<std::string> tokens;
    for (const char *node : nodes) {
        std::string tok = kavc::node_token(node);
        EXPECT_EQ(tok.find_first_of(".*> \t"), std::string::npos) << tok;
        EXPECT_FALSE(tok.empty());
        tokens.push_back(tok);
    }
    EXPECT_EQ(tokens[0], tokens[4]);  // text addresses name a node without regard to case
    for (size_t i = 0; i < tokens.size(); ++i)
        for (size_t j = i + 1; j < tokens.size(); ++j)
            if (i != 0 || j != 4) {
                EXPECT_NE(tokens[i], tokens[j]) << tokens[i];
            }
    EXPECT_EQ(kavc::task_token("my.x*   "), "MY%2EX%2A");
}

// In a child: what the start of a task gives with the settings given, and what it said.
struct Refused {
    uint32_t first = 0, second = 0;
    std::string said;
};

Refused start_with(const std::vector<std::pair<std::string, std::string>> &settings) {
    std::string dir = make_temp_dir();
    Child child = Child::fork_run([&] {
        int said = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(said, 2);
        setenv("KAVZ_ERRLOG", (dir + "/errlog").c_str(), 1);
        setenv("KAVI_NODE", unique_node("LONELY").c_str(), 1);
        for (const auto &[name, value] : settings) setenv(name.c_str(), value.c_str(), 1);
        uint32_t first = start("FIRST").rc, second = start("SECOND").rc;
        std::FILE *out = std::fopen((dir + "/codes").c_str(), "w");
        std::fprintf(out, "%u %u", first, second);
        std::fclose(out);
        return 0;
    });
    Refused r;
    if (child.wait(15000) != 0) return r;
    std::sscanf(read_file(dir + "/codes").c_str(), "%u %u", &r.first, &r.second);
    r.said = read_file(dir + "/stderr");
    return r;
}

TEST_F(NatsTransport, BadSettingsRefuseTheStartOnceWithWhy) {
    NatsServer small;
    ASSERT_TRUE(small.start("max_payload: 60000"));
    struct Case {
        std::vector<std::pair<std::string, std::string>> settings;
        std::string why;
    } cases[] = {
        {{{"KAVI_NATS_USER", "me"}}, "KAVI_NATS_PASSWORD go together"},
        {{{"KAVI_NATS_TOKEN", "t"}, {"KAVI_NATS_USER", "u"}, {"KAVI_NATS_PASSWORD", "p"}},
         "more than one way"},
        {{{"KAVI_NATS_BINARY_NODE", "FF"}}, "48 hexadecimal digits"},
        {{{"KAVI_NATS_URL", "nats://127.0.0.1:1"}}, "cannot connect to nats://127.0.0.1:1"},
        {{{"KAVI_NATS_URL", small.url()}}, "max_payload is 60000"},
        {{{"KAVI_NATS_CA", "/nonexistent/ca.pem"}}, "cannot load the CA file"},
    };
    for (const Case &c : cases) {
        auto began = std::chrono::steady_clock::now();
        Refused r = start_with(c.settings);
        EXPECT_EQ(r.first, VULC_TRANSPORT_FAILED) << c.why;
        EXPECT_EQ(r.second, VULC_TRANSPORT_FAILED) << c.why;
        EXPECT_NE(r.said.find(c.why), std::string::npos) << r.said;
        // Said once, on one line, however often a task is started.
        EXPECT_EQ(std::count(r.said.begin(), r.said.end(), '\n'), 1) << r.said;
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5)) << c.why;
    }
}
