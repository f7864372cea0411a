// nats_transport_test.cpp — messages between two nodes that share only a real nats-server:
// header bytes intact, replies to the origin, order kept, the router and binary addresses,
// unreachable at once, and the settings that keep the transport from starting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "services/kavcacm/subjects.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/nats_server.h"

using namespace kavc;
using namespace kavitest;

namespace {

std::string text(const void *msg, size_t at, size_t len) {
    return std::string(static_cast<const char *>(msg) + at, len);
}

std::string node24(const std::string &node) {
    return node + std::string(24 - node.size(), ' ');
}

// The binary address the echo's node declares, and one nobody declares.
const std::string BINARY = std::string("\xFF\xFF\xFF\xFF\x0A\0\0\x01", 8) + std::string(16, '\0');
const std::string OTHER_BINARY =
    std::string("\xFF\xFF\xFF\xFF\x0A\0\0\x02", 8) + std::string(16, '\0');

// This process as node HERE with the task CLIENT; the task ECHO on node THERE (forked before this
// process uses the service) answers each command, 10 bytes longer, to its origin.
class NatsTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
        ASSERT_TRUE(server_.start());
        setenv("KAVI_NATS_URL", server_.url().c_str(), 1);
        echo_ = Child::fork_run([this] {
            setenv("KAVI_NODE", there_.c_str(), 1);
            setenv("KAVI_NATS_BINARY_NODE", ("FFFFFFFF0A000001" + std::string(32, '0')).c_str(), 1);
            Started s = start("ECHO");
            for (uint32_t len = 0;;) {
                void *msg = nullptr;
                if (s.rc != VULC_OK || receive_wait("ECHO", s.receive_handle, &msg, &len, -1))
                    return 1;
                std::memset(static_cast<char *>(msg) + len, 'R', 10);
                send("ECHO", text(msg, VULC_HDR_ORIGIN_NAME, 8), msg, len + 10, 0,
                     text(msg, VULC_HDR_ORIGIN_NODE, 24));
                release("ECHO", msg);
            }
        });
        setenv("KAVI_NODE", unique_node("HERE").c_str(), 1);
        me_ = start("CLIENT");
        ASSERT_EQ(me_.rc, VULC_OK);
        ASSERT_TRUE(
            eventually([&] { return vulcfindtask(BINARY.data(), "ECHO    ") == 0; }, 10000));
    }
    NatsServer server_;
    std::string there_ = unique_node("THERE");
    Child echo_;
    Started me_;
};

void *command(uint32_t length, char fill) {
    void *buffer = allocate("CLIENT", length);
    if (buffer != nullptr) std::memset(static_cast<char *>(buffer) + 112, fill, length - 112);
    return buffer;
}

}  // namespace

// Kept in order, by task name and through the router "KAVIEXIT" alike; then to the binary
// address the node declares.
TEST_F(NatsTransport, CommandsAndRepliesCrossNodesIntactAndInOrder) {
    constexpr int COUNT = 60;
    std::vector<std::string> sent;
    for (int i = 0; i <= COUNT; ++i) {
        uint32_t length = i == 0 ? 65535 - 10 : 470 + i;
        void *cmd = command(length, static_cast<char>(i));
        const char *dest = "ECHO";
        if (i % 2 == 1) {
            std::memcpy(static_cast<char *>(cmd) + VULC_ROUTER_NAME_OFFSET, "echo    ", 8);
            dest = "KAVIEXIT";
        }
        ASSERT_EQ(send("CLIENT", dest, cmd, length, 0, i == COUNT ? BINARY : there_), VULC_OK);
        sent.emplace_back(static_cast<char *>(cmd), length);
        release("CLIENT", cmd);
        if (i < COUNT - 1) continue;
        for (const std::string &out : sent) {
            void *reply = nullptr;
            uint32_t len = 0;
            ASSERT_EQ(receive_wait("CLIENT", me_.receive_handle, &reply, &len, 5000), VULC_OK);
            ASSERT_EQ(len, out.size() + 10);
            // The service fields (message id, send time) come back as they went out.
            EXPECT_EQ(text(reply, VULC_HDR_SERVICE_LEVEL, 112 - VULC_HDR_SERVICE_LEVEL),
                      out.substr(VULC_HDR_SERVICE_LEVEL, 112 - VULC_HDR_SERVICE_LEVEL));
            EXPECT_EQ(text(reply, VULC_HDR_ORIGIN_NAME, 8), "ECHO    ");
            EXPECT_EQ(text(reply, VULC_HDR_ORIGIN_NODE, 24), node24(there_));
            EXPECT_EQ(text(reply, VULC_HDR_DEST_NAME, 8), "CLIENT  ");
            EXPECT_EQ(text(reply, 112, out.size() - 112), out.substr(112));
            release("CLIENT", reply);
        }
        sent.clear();
    }
    // A binary address nobody declares is unreachable at once (task and node names nobody
    // serves are tried by the exits' tests).
    void *cmd = command(200, 'x');
    EXPECT_EQ(send("CLIENT", "ECHO", cmd, 200, 0, OTHER_BINARY), VULC_UNREACHABLE);
    release("CLIENT", cmd);
}

TEST(NatsSubjects, EveryAddressIsOneTokenAndNoneAWildcard) {
    const char *nodes[] = {
        "A.B", "a.b", "A*", "A>", "A%2E", "A B", "\xFF\xFF\xFF\xFF.*>\x00\x01 abcdefghijklmnop"};
    std::vector<std::string> tokens;
    for (const char *node : nodes) {
        std::string tok = node_token(node[0] == '\xFF' ? node : node24(node).c_str());
        EXPECT_EQ(tok.find_first_of(".*> \t"), std::string::npos) << tok;
        tokens.push_back(tok);
    }
    EXPECT_EQ(tokens[0], tokens[1]);  // text addresses name a node without regard to case
    std::sort(tokens.begin() + 1, tokens.end());
    EXPECT_EQ(std::unique(tokens.begin() + 1, tokens.end()), tokens.end());
    EXPECT_EQ(task_token("my.x*   "), "MY%2EX%2A");
}

// In a child: the codes of two task starts with the settings given, and what the process said.
TEST(NatsSettings, BadSettingsRefuseEveryStartFastSayingWhyOnce) {
    if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
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
        {{{"KAVI_NATS_CREDS", "/nonexistent/user.creds"}}, "/nonexistent/user.creds"},
    };
    for (const Case &c : cases) {
        std::string dir = make_temp_dir();
        auto began = std::chrono::steady_clock::now();
        Child child = Child::fork_run([&] {
            dup2(open((dir + "/said").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            setenv("KAVZ_ERRLOG", (dir + "/errlog").c_str(), 1);
            setenv("KAVI_NODE", unique_node("LONELY").c_str(), 1);
            setenv("KAVI_NATS_URL", small.url().c_str(), 1);
            for (const auto &[name, value] : c.settings) setenv(name.c_str(), value.c_str(), 1);
            bool refused = start("FIRST").rc == VULC_TRANSPORT_FAILED &&
                           start("SECOND").rc == VULC_TRANSPORT_FAILED;
            return refused ? 0 : 1;
        });
        EXPECT_EQ(child.wait(15000), 0) << c.why;
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5)) << c.why;
        std::string said = read_file(dir + "/said");
        EXPECT_NE(said.find(c.why), std::string::npos) << said;
        // Said once, on one line, however often a task is started.
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
}
