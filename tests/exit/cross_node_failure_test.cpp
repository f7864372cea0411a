// cross_node_failure_test.cpp — what a dying NATS server does to commands between two nodes:
// each is answered once, or its caller gets 0x8001; none hangs; the nodes reconnect.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
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

uint32_t KAVI_CALL never_called(_VULE_PARAMETERS32 *) {
    return 0;
}

// send_status: a command whose target answers with `status`, under a correlation of its own.
uint32_t send_status(const std::string &node, uint16_t status, uint16_t numb) {
    char name[16] = "STATUS", text[16];
    std::snprintf(text, sizeof text, "%u", status);
    _VULE_PARAMETERS32 b{};
    b.command_name = name;
    b.command_string = text;
    b.correlation_id.numb = numb;
    return KaviSend("CALLER  ", "TEXIT", node.c_str(), &b);
}

size_t count_of(const std::string &text, const std::string &word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(CrossNodeFailure, AServerOfTheClusterDiesWhileAThousandCommandsFlow) {
    if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
    NatsServer first, second, third;
    ASSERT_TRUE(first.start("cluster { name: kavi, listen: \"127.0.0.1:-1\" }"));
    std::string routes =
        "cluster { name: kavi, listen: \"127.0.0.1:-1\", routes: [\"" + first.route_url() + "\"] }";
    ASSERT_TRUE(second.start(routes));
    ASSERT_TRUE(third.start(routes));
    // Both nodes start on the server that dies and learn the others from it.
    std::string there = unique_node("B"), out = make_temp_dir() + "/texit.out";
    Child target = Child::spawn(
        {executable_dir() + "/kavi_test_exit", "TEXIT", "1"},
        {"KAVI_NODE=" + there, "KAVI_NATS_URL=" + first.url(), "KAVI_START_PAUSE_MS=1"}, out);
    ASSERT_TRUE(
        eventually([&] { return read_file(out).find("registered") != std::string::npos; }, 10000));
    setenv("KAVI_NODE", unique_node("A").c_str(), 1);
    setenv("KAVI_NATS_URL", first.url().c_str(), 1);
    ASSERT_EQ(KaviInit("CALLER", never_called, 1), VULE_OK);
    // The other servers know of each other once a command passes; clients learn them likewise.
    ASSERT_TRUE(eventually([&] { return send_status(there, 7, 0) == 7; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    constexpr int THREADS = 8, PER_THREAD = 125;
    std::atomic<int> done{0}, answered{0}, ended{0}, wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < THREADS; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < PER_THREAD; ++i) {
                auto numb = static_cast<uint16_t>(t * PER_THREAD + i + 1);
                uint32_t rc = send_status(there, numb, numb);
                if (rc == numb)
                    ++answered;
                else if (rc == VULE_EXIT_ENDED)
                    ++ended;
                else
                    ++wrong;
                ++done;
            }
        });
    }
    if (eventually([&] { return done.load() >= 300; }, 30000)) first.kill(SIGKILL);
    // Bounded: a call that hung would keep `done` short of the total.
    bool all_returned = eventually([&] { return done.load() == THREADS * PER_THREAD; }, 60000);
    for (std::thread &s : senders) {
        if (all_returned)
            s.join();
        else
            s.detach();  // the process ends with the failure; its calls cannot be waited for
    }
    ASSERT_TRUE(all_returned) << done.load() << " of " << THREADS * PER_THREAD << " returned";
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(answered.load() + ended.load(), THREADS * PER_THREAD);
    EXPECT_GT(answered.load(), 300);
    // No command ran twice: each ran at most once, and those answered ran for sure.
    std::string ran = read_file(out);
    EXPECT_LE(count_of(ran, "invoked STATUS"), static_cast<size_t>(THREADS * PER_THREAD + 1));
    EXPECT_GE(count_of(ran, "invoked STATUS"), static_cast<size_t>(answered.load() + 1));
    // Both nodes reconnected to the servers left.
    EXPECT_TRUE(eventually([&] { return send_status(there, 9, 0) == 9; }, 10000));
    KaviTerminate("CALLER  ");
}
