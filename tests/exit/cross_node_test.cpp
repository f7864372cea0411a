// cross_node_test.cpp — KaviSend between exits on two nodes that share only a nats-server: the
// status and the copy-back, the address masks, and a target that is not there or goes away.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kaviexit.h"
#include "tests/support/child_process.h"
#include "tests/support/nats_server.h"

namespace {

using namespace kavitest;
using Clock = std::chrono::steady_clock;

uint32_t KAVI_CALL never_called(_VULE_PARAMETERS32 *) {
    return 0;
}

std::string padded24(const std::string &s) {
    return s + std::string(24 - s.size(), ' ');
}

// A node of this process (A) with the exit CALLER, and the test exit TEXIT on node B.
class CrossNode : public ::testing::Test {
  protected:
    void SetUp() override {
        if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
        ASSERT_TRUE(server_.start());
        here_ = unique_node("A");
        there_ = unique_node("B");
        out_ = make_temp_dir() + "/texit.out";
        target_ = Child::spawn({executable_dir() + "/kavi_test_exit", "TEXIT", "1"},
                               {"KAVI_NODE=" + there_, "KAVI_NATS_URL=" + server_.url()}, out_);
        ASSERT_TRUE(eventually(
            [&] { return read_file(out_).find("registered") != std::string::npos; }, 10000));
        setenv("KAVI_NODE", here_.c_str(), 1);
        setenv("KAVI_NATS_URL", server_.url().c_str(), 1);
        ASSERT_EQ(KaviInit("CALLER", never_called, 1), VULE_OK);
    }
    void TearDown() override {
        if (!IsSkipped()) KaviTerminate("CALLER  ");
    }

    // block: a command named `name`, its texts in areas of room enough for what comes back.
    _VULE_PARAMETERS32 block(const char *name, const char *string = nullptr) {
        _VULE_PARAMETERS32 b{};
        std::snprintf(name_, sizeof name_, "%s", name);
        b.command_name = name_;
        if (string != nullptr) {
            std::snprintf(string_, sizeof string_, "%s", string);
            b.command_string = string_;
        }
        std::memset(display_, '.', sizeof display_ - 1);
        display_[sizeof display_ - 1] = '\0';
        b.display_name = display_;
        return b;
    }

    NatsServer server_;
    std::string here_, there_, out_;
    Child target_;
    char name_[16], string_[16], display_[64];
};

}  // namespace

TEST_F(CrossNode, KaviSendGetsTheRemoteStatusAndTheCopyBack) {
    _VULE_PARAMETERS32 b = block("STATUS", "0x1234");
    EXPECT_EQ(KaviSend("CALLER  ", "texit", there_.c_str(), &b), 0x1234u);
    EXPECT_EQ(std::string(b.exit_name), "TEXIT   ");
    EXPECT_NE(read_file(out_).find("invoked STATUS"), std::string::npos);
}

TEST_F(CrossNode, AddressesOfTheTargetAndOfThisNodeTravelMasked) {
    _VULE_PARAMETERS32 b = block("ADDRESSES");
    std::strcpy(b.server_ip_addr, padded24(there_).c_str());
    std::strcpy(b.client_ip_addr, padded24(here_).c_str());
    EXPECT_EQ(KaviSend("CALLER  ", "TEXIT", there_.c_str(), &b), 0u);
    EXPECT_EQ(std::string(b.display_name), std::string(24, '*') + "|" + std::string(24, '@'));
    // The caller's own fields are as it gave them.
    EXPECT_EQ(std::string(b.server_ip_addr), padded24(there_));
    EXPECT_EQ(std::string(b.client_ip_addr), padded24(here_));
}

TEST_F(CrossNode, ATargetNobodyServesIsUnreachableAtOnce) {
    auto began = Clock::now();
    _VULE_PARAMETERS32 b = block("STATUS", "0");
    EXPECT_EQ(KaviSend("CALLER  ", "NOBODY", there_.c_str(), &b), VULE_EXIT_ENDED);
    EXPECT_EQ(KaviSend("CALLER  ", "TEXIT", unique_node("C").c_str(), &b), VULE_EXIT_ENDED);
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(1));
}

TEST_F(CrossNode, ATargetWhoseProcessDiesEndsTheWaitWith8001) {
    _VULE_PARAMETERS32 b = block("HOLD");
    auto began = Clock::now();
    std::thread killer([&] {
        eventually([&] { return read_file(out_).find("held") != std::string::npos; }, 10000);
        target_.kill(SIGKILL);
    });
    EXPECT_EQ(KaviSend("CALLER  ", "TEXIT", there_.c_str(), &b), VULE_EXIT_ENDED);
    killer.join();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(5));
    // The caller's block is as a call that got no answer leaves it.
    EXPECT_EQ(std::string(b.exit_name), "TEXIT   ");
}

namespace {

struct Ran {
    int code;
    std::string out;
};

// kavi: the tool on a node of its own, with the test's NATS settings.
Ran kavi(const std::vector<std::string> &args) {
    std::string out = make_temp_dir() + "/kavi.out";
    std::vector<std::string> argv = {executable_dir() + "/kavi"};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child = Child::spawn(argv, {"KAVI_NODE=" + unique_node("TOOL")}, out);
    int code = child.wait(20000);
    return {code, read_file(out)};
}

}  // namespace

TEST_F(CrossNode, KaviSendsListsSeesNodesAndShutsDownAcrossNodes) {
    Ran sent = kavi({"send", "TEXIT", "--node", there_, "--router", "--set", "command_name=STATUS",
                     "--set", "command_string=0x12", "--timeout", "10"});
    EXPECT_EQ(sent.code, 1) << sent.out;  // another status than 0
    EXPECT_NE(sent.out.find("18"), std::string::npos) << sent.out;

    Ran listed = kavi({"list", "--node", there_});
    EXPECT_EQ(listed.code, 0);
    EXPECT_NE(listed.out.find("TEXIT"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("CALLER"), std::string::npos) << listed.out;  // node A's own

    Ran nodes = kavi({"nodes", "--json"});
    EXPECT_EQ(nodes.code, 0);
    EXPECT_NE(nodes.out.find("\"" + there_ + "\""), std::string::npos) << nodes.out;
    EXPECT_NE(nodes.out.find("\"" + here_ + "\""), std::string::npos) << nodes.out;

    EXPECT_EQ(kavi({"list", "--node", unique_node("NOWHERE")}).code, 1);

    Ran shutdown = kavi({"shutdown", "--node", there_});
    EXPECT_EQ(shutdown.code, 0) << shutdown.out;
    EXPECT_NE(shutdown.out.find("1 wait ended"), std::string::npos) << shutdown.out;
    EXPECT_EQ(target_.wait(10000), 0);  // KaviWait returned, the exit ended cleanly
}
