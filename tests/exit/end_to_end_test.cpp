// end_to_end_test.cpp — commands through real processes: an exit program (the test exit or the
// echo example) answers what `kavi send`, or a server played by this test, sends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "exit/codec.h"
#include "services/kavcacm/kavcacm.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace kavitest;
namespace codec = kavi::codec;

struct Outcome {
    int code;
    std::string out;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_dir(); }

    // start_exit: the exit program, once it has registered.
    Child start_exit(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                     const std::string &program = "kavi_test_exit") {
        exit_out_ = dir_ + "/exit.out";
        std::vector<std::string> argv = {executable_dir() + "/" + program};
        argv.insert(argv.end(), args.begin(), args.end());
        Child child = Child::spawn(argv, env, exit_out_);
        EXPECT_TRUE(eventually(
            [&] { return exit_output().find("registered") != std::string::npos; }, 10000))
            << exit_output();
        return child;
    }
    std::string exit_output() const { return read_file(exit_out_); }

    Outcome kavi(const std::vector<std::string> &args, int timeout_ms = 20000) {
        std::string out = dir_ + "/kavi" + std::to_string(runs_++) + ".out";
        std::vector<std::string> argv = {executable_dir() + "/kavi"};
        argv.insert(argv.end(), args.begin(), args.end());
        Child child = Child::spawn(argv, {}, out);
        int code = child.wait(timeout_ms);
        return {code, read_file(out)};
    }
    Outcome send(const std::vector<std::string> &args) {
        std::vector<std::string> all = {"send", "TEXIT", "--timeout", "10"};
        all.insert(all.end(), args.begin(), args.end());
        return kavi(all);
    }

    std::string raw_file(const std::vector<uint8_t> &bytes) {
        std::string path = dir_ + "/raw" + std::to_string(runs_++);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
        return path;
    }

    std::string dir_;
    std::string exit_out_;
    int runs_ = 0;
};

// A server played in this process: commands with a correlation of the test's choosing, and the
// replies in the order they arrive.
class Server {
  public:
    Server() {
        VULC_STRTCOM start{};
        start.head.length = sizeof start;
        memcpy(start.head.task, "TSERVER ", 8);
        EXPECT_EQ(vulcstrtcom(&start), VULC_OK);
        handle_ = start.receive_handle;
        VULC_CHECKTASK check{};
        check.head.length = sizeof check;
        memcpy(check.head.task, "TSERVER ", 8);
        vulcchecktask(&check);
        memcpy(node_, check.node, sizeof node_);
    }

    ~Server() {
        VULC_STOPCOM stop{};
        stop.head.length = sizeof stop;
        memcpy(stop.head.task, "TSERVER ", 8);
        vulcstopcom(&stop);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    void send(const char *command_name, uint32_t correlation) {
        EXPECT_EQ(lifecycle::send_command("TSERVER ", "TEXIT   ", node_, correlation, command_name),
                  VULC_OK);
    }

    struct Reply {
        uint16_t status;
        uint32_t correlation;
        uint32_t length;
    };
    // receive: the next reply, or false after timeout_ms.
    bool receive(Reply *reply, int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            VULC_SOCWAIT wait{};
            wait.length = sizeof wait;
            wait.timeout_ms = 100;
            wait.wait_handle = handle_;
            vulcsocwait(&wait);
            uint32_t length = 0;
            void *buffer = nullptr;
            VULC_RCVDATA receive{};
            receive.head.length = sizeof receive;
            memcpy(receive.head.task, "TSERVER ", 8);
            receive.receive_handle = handle_;
            receive.wait_handle = handle_;
            receive.length_out = &length;
            receive.buffer_out = &buffer;
            if (vulcrcvdata(&receive) != VULC_OK) continue;
            auto *msg = static_cast<uint8_t *>(buffer);
            const uint8_t *status = msg + length - codec::STATUS_ELEMENT_LENGTH;
            *reply = {codec::get_u16(status + 4), codec::get_u32(status + 6), length};
            EXPECT_EQ(codec::get_u16(status + 2), codec::TYPE_STATUS);
            release(msg);
            return true;
        }
        return false;
    }

  private:
    void release(void *msg) {
        VULC_FREEMEM free_request{};
        free_request.head.length = sizeof free_request;
        memcpy(free_request.head.task, "TSERVER ", 8);
        free_request.buffer = msg;
        EXPECT_EQ(vulcfreemem(&free_request), VULC_OK);
    }

    VULC_HANDLE handle_ = 0;
    char node_[24];
};

const std::vector<std::string> FAST_STARTS = {"KAVI_START_PAUSE_MS=1"};

TEST_F(EndToEnd, FullRepliesCarryTheBlockTheFieldsWithinTheirCapacitiesAndTheStatus) {
    Child exit = start_exit({"TEXIT", "1"}, FAST_STARTS);

    Outcome block_only = send({});
    EXPECT_EQ(block_only.code, 0) << block_only.out;
    EXPECT_NE(block_only.out.find("status: 0 (0x0000)\nreply: 470 bytes in "), std::string::npos)
        << block_only.out;

    Outcome status = send({"--set", "command_name=STATUS", "--set", "command_string=0x12345"});
    EXPECT_EQ(status.code, 1);
    EXPECT_NE(status.out.find("status: 9029 (0x2345)"), std::string::npos) << status.out;

    Outcome longer = send({"--set", "command_name=LONGER", "--set", "display_name=ABC", "--all"});
    size_t reply = longer.out.find("\nreply: ");
    ASSERT_NE(reply, std::string::npos) << longer.out;
    EXPECT_NE(longer.out.find("\n  display_name: ABC\n", reply), std::string::npos) << longer.out;

    Outcome raised =
        send({"--set", "command_name=RAISE", "--set", "user_data=00112233445566778899", "--json"});
    EXPECT_NE(raised.out.find("\"user_data\": \"00112233445566778899\","), std::string::npos)
        << raised.out;
    EXPECT_NE(raised.out.find("\"user_data_length\": 10,"), std::string::npos) << raised.out;

    Outcome nulled = send({"--set", "command_name=NOSTRING", "--set", "command_string=text",
                           "--set", "data1=after", "--json"});
    EXPECT_NE(nulled.out.find("\"command_string\": null,"), std::string::npos) << nulled.out;
    EXPECT_NE(nulled.out.find("\"data1\": \"after\","), std::string::npos) << nulled.out;

    Outcome routed =
        send({"--router", "--set", "command_name=STATUS", "--set", "command_string=0"});
    EXPECT_EQ(routed.code, 0) << routed.out;

    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

TEST_F(EndToEnd, CommandThatGetsNoThreadIsAnsweredWithA126ByteStatusReply) {
    // The queue thread starts; every invocation thread after it fails.
    Child exit =
        start_exit({"TEXIT", "1"}, {"KAVI_FAULTS=thread_start:1:all", "KAVI_START_PAUSE_MS=1"});
    Outcome run = send({"--set", "command_name=STATUS", "--set", "command_string=0"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("status: 32778 (0x800A)\nreply: 126 bytes in "), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(" ms\n(no parameter block)\n"), std::string::npos) << run.out;
    EXPECT_EQ(exit_output().find("invoked"), std::string::npos);
}

TEST_F(EndToEnd, ProcessEndingWithThreeActiveCommandsAnswersEachInSlotOrder) {
    Child exit = start_exit({"TEXIT", "1", "--exit-when-held", "3"}, FAST_STARTS);
    Server server;
    for (uint32_t i = 1; i <= 2; ++i) {
        server.send("HOLD", 0x100 * i);
        ASSERT_TRUE(eventually(
            [&] { return exit_output().find("held " + std::to_string(i)) != std::string::npos; },
            10000));
    }
    // The third from kavi, whose answer comes from a buffer of its own, not the command's.
    std::string kavi_out = dir_ + "/held.out";
    Child third = Child::spawn({executable_dir() + "/kavi", "send", "TEXIT", "--set",
                                "command_name=HOLD", "--timeout", "10"},
                               {}, kavi_out);
    for (uint32_t i = 1; i <= 2; ++i) {
        Server::Reply reply{};
        ASSERT_TRUE(server.receive(&reply, 10000));
        EXPECT_EQ(reply.status, 0x8001);
        EXPECT_EQ(reply.correlation, 0x100 * i);
        EXPECT_EQ(reply.length, 126u);
    }
    EXPECT_EQ(third.wait(10000), 1);
    EXPECT_NE(read_file(kavi_out).find("status: 32769 (0x8001)\nreply: 126 bytes in "),
              std::string::npos)
        << read_file(kavi_out);
    EXPECT_EQ(exit.wait(10000), 0);
    Server::Reply extra{};
    EXPECT_FALSE(server.receive(&extra, 300)) << "a command was answered twice";
}

TEST_F(EndToEnd, RunModeOneRunsTwoCommandsOfOneExitAtOnce) {
    Child exit = start_exit({"TEXIT", "1"});
    std::string out1 = dir_ + "/pair1.out", out2 = dir_ + "/pair2.out";
    std::vector<std::string> argv = {executable_dir() + "/kavi", "send",      "TEXIT", "--set",
                                     "command_name=PAIR",        "--timeout", "20"};
    Child first = Child::spawn(argv, {}, out1);
    Child second = Child::spawn(argv, {}, out2);
    EXPECT_EQ(first.wait(25000), 0) << read_file(out1);
    EXPECT_EQ(second.wait(25000), 0) << read_file(out2);
    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

TEST_F(EndToEnd, CommandBeyondSixtyFourActiveOnesRunsAndEveryCommandIsAnswered) {
    Child exit = start_exit({"TEXIT", "1"}, FAST_STARTS);
    Server server;
    for (uint32_t i = 1; i <= 64; ++i) server.send("HOLD", i);
    ASSERT_TRUE(
        eventually([&] { return exit_output().find("held 64") != std::string::npos; }, 20000));
    server.send("RELEASE", 65);
    // Only the 65th command, run without a slot, can release the 64 others.
    std::set<uint32_t> answered;
    Server::Reply reply{};
    while (answered.size() < 65 && server.receive(&reply, 10000)) {
        EXPECT_EQ(reply.status, 0);
        EXPECT_EQ(reply.length, 470u + 12);
        answered.insert(reply.correlation);
    }
    EXPECT_EQ(answered.size(), 65u);
    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

// Element blocks (from message offset 112) that must never reach the exit function.
std::vector<std::vector<uint8_t>> malformed_corpus() {
    auto u16 = [](std::vector<uint8_t> &v, uint16_t x) {
        v.push_back(static_cast<uint8_t>(x));
        v.push_back(static_cast<uint8_t>(x >> 8));
    };
    auto head = [&](uint16_t block_length, uint16_t type = 0x100) {
        std::vector<uint8_t> v;
        u16(v, block_length);
        u16(v, type);
        return v;
    };
    auto with_block = [&](std::vector<uint8_t> tail) {
        std::vector<uint8_t> v = head(static_cast<uint16_t>(4 + 344 + tail.size()));
        u16(v, 344);
        u16(v, 1);
        v.resize(v.size() + 340, 0);
        memcpy(v.data() + 8 + 8, "TEXIT   ", 8);
        v.insert(v.end(), tail.begin(), tail.end());
        return v;
    };
    auto element = [&](uint16_t length, uint16_t type, std::vector<uint8_t> body = {}) {
        std::vector<uint8_t> v;
        u16(v, length);
        u16(v, type);
        v.insert(v.end(), body.begin(), body.end());
        return v;
    };
    std::vector<std::vector<uint8_t>> corpus = {
        {},              // no element block
        head(4),         // nothing but the head
        head(0),         // length below the head
        head(2),         //
        head(0xFFFF),    // far longer than what came
        head(200),       // longer than what came
        element(4, 1),   // not even the head
        head(8, 0x101),  // wrong block type
    };
    std::vector<uint8_t> wrong_type = with_block({});
    wrong_type[2] = 0x02;
    corpus.push_back(wrong_type);
    std::vector<uint8_t> shorter = with_block({});
    codec::put_u16(shorter.data(), 300);  // declares less than arrived
    corpus.push_back(shorter);
    corpus.push_back(with_block(element(0, 2)));                        // element length 0
    corpus.push_back(with_block(element(2, 2)));                        // element length below 4
    corpus.push_back(with_block(element(0xFFFF, 2, {'a', 0})));         // beyond the block
    corpus.push_back(with_block(element(8, 2, {'a', 'b', 'c', 'd'})));  // text without NUL
    corpus.push_back(with_block(element(12, 6, {9, 0, 0, 0, 1, 2, 3, 4})));  // data overrun
    corpus.push_back(with_block(element(6, 6, {1, 0})));   // data without its count
    corpus.push_back(with_block(element(6, 16, {0, 0})));  // status element too short
    std::vector<uint8_t> short_block = head(4 + 100);
    auto e = element(100, 1, std::vector<uint8_t>(96, 0));  // block element too short
    short_block.insert(short_block.end(), e.begin(), e.end());
    corpus.push_back(short_block);
    std::vector<uint8_t> no_block = head(4 + 8);
    auto t = element(8, 2, {'a', 'b', 'c', 0});  // a field but no block
    no_block.insert(no_block.end(), t.begin(), t.end());
    corpus.push_back(no_block);
    std::vector<uint8_t> only_end = head(4 + 12);
    auto end = element(12, 17, std::vector<uint8_t>(8, 0));
    only_end.insert(only_end.end(), end.begin(), end.end());
    corpus.push_back(only_end);
    // A status element for a correlation nobody waits for.
    corpus.push_back(with_block(element(10, 16, {0, 0, 0x78, 0x56, 0x34, 0x12})));
    std::vector<uint8_t> noise(300);
    uint32_t seed = 12345;
    for (uint8_t &b : noise) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    corpus.push_back(noise);
    return corpus;
}

TEST_F(EndToEnd, MalformedMessagesNeverReachTheExitNorHarmIt) {
    Child exit = start_exit({"TEXIT", "1"}, FAST_STARTS);
    std::vector<std::vector<uint8_t>> corpus = malformed_corpus();
    ASSERT_GE(corpus.size(), 20u);
    for (size_t i = 0; i < corpus.size(); ++i) {
        Outcome run = send({"--raw", raw_file(corpus[i]), "--timeout", "0.2"});
        EXPECT_EQ(run.code, 4) << "message " << i << ": " << run.out;
    }
    // Valid commands under function codes the exit does not run.
    EXPECT_EQ(send({"--function-code", "7", "--timeout", "0.2"}).code, 4);
    EXPECT_EQ(send({"--function-code", "1", "--timeout", "0.2"}).code, 4);
    EXPECT_EQ(exit_output().find("invoked"), std::string::npos) << exit_output();

    Outcome valid = send({"--set", "command_name=STATUS", "--set", "command_string=0"});
    EXPECT_EQ(valid.code, 0) << valid.out;
    // A clean end: under AddressSanitizer an unreleased message fails the exit code.
    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

TEST_F(EndToEnd, EchoExampleAnswersInRunModeZeroAndStopsOnShutdown) {
    Child exit = start_exit({"--run-mode", "0", "ECHO"}, {}, "echo_exit");
    Outcome run =
        kavi({"send", "ECHO", "--set", "command_string=hello", "--set", "display_name=abc", "--set",
              "user_data=00ff", "--set", "resource_status_ts=2015-03-09T14:05:07.6", "--set",
              "exit_timeout=-7", "--set", "numb=7", "--json"});
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("\"command_string\": \"HELLO\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"display_name\": \"cba\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"user_data\": \"ff00\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"op_id\": \"ECHOED\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"resource_status_ts\": \"2015-03-09T14:05:07.6\""), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"extended_reason_code\": -7,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"numb\": 7}"), std::string::npos) << run.out;
    EXPECT_EQ(kavi({"send", "ECHO", "--set", "no_such_field=1"}).code, 2);
    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

// What kavi send prints: the fields sent, then the status and only what the exit changed; --all
// for every field; JSON that can be sent again as it is.
TEST_F(EndToEnd, SendPrintsWhatWasSentAndWhatChanged) {
    Child exit = start_exit({"ECHO"}, {}, "echo_exit");
    Outcome text = kavi({"send", "ECHO", "--set", "command_name=HELLO", "--set",
                         "command_string=hello, exit", "--set=display_name=abc"});
    EXPECT_EQ(text.code, 0) << text.out;
    std::string node = getenv("KAVI_NODE");
    for (char &c : node) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::regex expected("sent to ECHO on node " + node +
                        ": [0-9]+ bytes\n"
                        "  command_name: HELLO\n"
                        "  command_string: hello, exit\n"
                        "  display_name: abc\n"
                        "status: 0 \\(0x0000\\)\n"
                        "reply: [0-9]+ bytes in [0-9.]+ ms\n"
                        "changed by the exit: 3 fields\n"
                        "  command_string: HELLO, EXIT\n"
                        "  op_id: ECHOED\n"
                        "  display_name: cba\n");
    EXPECT_TRUE(std::regex_match(text.out, expected)) << text.out;

    Outcome all = kavi({"send", "ECHO", "--all"});
    EXPECT_NE(all.out.find("\n  resource_QOB_oid: (none)\n"), std::string::npos) << all.out;
    EXPECT_GE(std::count(all.out.begin(), all.out.end(), '\n'), 50);

    // JSON out, JSON in: the reply sent again comes back with the changes undone.
    std::string json = dir_ + "/reply.json";
    Outcome first = kavi({"send", "ECHO", "--json", "--set", "display_name=abc", "--set",
                          "user_data=00ff", "--set", "exit_timeout=-7"});
    std::ofstream(json) << first.out;
    Outcome again = kavi({"send", "ECHO", "--json", "--json-in", json});
    EXPECT_EQ(again.code, 0) << again.out;
    EXPECT_NE(again.out.find("\"display_name\": \"abc\""), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("\"user_data\": \"00ff\""), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("\"extended_reason_code\": -7,"), std::string::npos) << again.out;

    Outcome nobody = kavi({"send", "NOBODY", "--timeout", "1"});
    EXPECT_EQ(nobody.code, 3);
    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

// ping, stats and list ask the exit itself, which answers from its queue thread.
TEST_F(EndToEnd, PingStatsAndListDescribeARunningExit) {
    Child exit = start_exit({"TEXIT", "1"}, FAST_STARTS);
    std::string node = getenv("KAVI_NODE");
    for (char &c : node) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string pid = std::to_string(exit.pid());
    Outcome ping = kavi({"ping", "texit"});
    EXPECT_EQ(ping.code, 0);
    EXPECT_TRUE(std::regex_match(
        ping.out, std::regex("TEXIT on node " + node + " answered in [0-9.]+ ms \\(pid " + pid +
                             ", kavi_test_exit\\)\n")))
        << ping.out;
    EXPECT_EQ(exit_output().find("invoked"), std::string::npos) << "the exit function ran";
    EXPECT_EQ(kavi({"ping", "NOBODY"}).code, 3);

    EXPECT_EQ(send({"--set", "command_name=STATUS", "--set", "command_string=0"}).code, 0);
    EXPECT_EQ(send({"--set", "command_name=STATUS", "--set", "command_string=3"}).code, 1);
    EXPECT_EQ(send({"--set", "command_name=STATUS", "--set", "command_string=0"}).code, 0);
    Outcome stats = kavi({"stats", "TEXIT"});
    EXPECT_EQ(stats.code, 0);
    EXPECT_TRUE(std::regex_search(
        stats.out, std::regex("^exit TEXIT on node " + node + ": pid " + pid +
                              " \\(kavi_test_exit\\), run mode 1, registered "
                              "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z\n"
                              "commands: 3 \\(status 0: 2, other: 1\\)\n"
                              "exit function time: p50 <= [0-9]+ us, p90 <= [0-9]+ us, p99 <= "
                              "[0-9]+ us, max <= [0-9]+ us\n$")))
        << stats.out;
    Outcome json = kavi({"stats", "TEXIT", "--json"});
    EXPECT_NE(json.out.find("\"commands\": 3, \"status_zero\": 2, \"status_other\": 1,"),
              std::string::npos)
        << json.out;

    Outcome list = kavi({"list"});
    EXPECT_TRUE(std::regex_search(
        list.out, std::regex("\n  TEXIT +" + pid + " +kavi_test_exit +1 +3 +[0-9T:-]+Z\n")))
        << list.out;
    EXPECT_EQ(list.out.find("  KV"), std::string::npos) << list.out;

    // Stopping one exit stops its program, the way SIGTERM from a service manager does.
    Outcome stop = kavi({"shutdown", "TEXIT"});
    EXPECT_EQ(stop.code, 0) << stop.out;
    EXPECT_EQ(stop.out, "asked process " + pid +
                            ", which holds TEXIT, to stop (SIGTERM)\n"
                            "TEXIT stopped\n");
    EXPECT_EQ(exit.wait(10000), 0);
    EXPECT_EQ(kavi({"shutdown", "TEXIT"}).code, 3);
}

// kavi send gives up; the exit's reply then finds nobody, and its log line says so.
TEST_F(EndToEnd, ReplyToASenderThatGaveUpIsLoggedAsSuch) {
    std::string log = dir_ + "/errlog";
    Child exit = start_exit({"TEXIT", "1"}, {"KAVZ_ERRLOG=" + log, "KAVI_START_PAUSE_MS=0"});
    EXPECT_EQ(send({"--set", "command_name=HOLD", "--timeout", "0.3"}).code, 4);
    EXPECT_EQ(send({"--set", "command_name=RELEASE"}).code, 0);
    EXPECT_TRUE(
        eventually([&] { return read_file(log).find(" site=1320 ") != std::string::npos; }, 10000));
    std::string text = read_file(log);
    EXPECT_TRUE(std::regex_search(
        text, std::regex(" site=1320 code=9 \\(0x9\\) .* msg=\"the reply of exit TEXIT could "
                         "not be sent to task KV[0-9A-F]{6} on node \\S+ \\(the sender of "
                         "command 0x[0-9A-F]{8} is gone: it gave up waiting or ended\\): 9 "
                         "\\(the destination is not reachable\\)\"\n")))
        << text;
    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

}  // namespace
