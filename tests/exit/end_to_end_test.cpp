// end_to_end_test.cpp — commands through real processes: an exit program (the test exit or the
// echo example) answers what `kavi send` sends it, and kavi asks it for its ping and stats.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>

#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace kavitest;
using ::testing::HasSubstr;
using ::testing::Not;

struct Outcome {
    int code;
    std::string out;
};

void contains(const std::string &out, std::initializer_list<const char *> parts) {
    for (const char *part : parts) EXPECT_THAT(out, HasSubstr(part));
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        for (char &c : node_) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }

    // start_exit: the exit program, once it has registered.
    Child start_exit(const std::string &program, const std::vector<std::string> &args) {
        Child child = spawn(program, args, exit_out_, {"KAVI_START_PAUSE_MS=1"});
        EXPECT_TRUE(file_shows(exit_out_, "registered", 10000)) << read_file(exit_out_);
        return child;
    }

    // spawn: one of the test's programs with `args`, its output in the file `out`.
    static Child spawn(const std::string &program, const std::vector<std::string> &args,
                       const std::string &out, const std::vector<std::string> &env = {}) {
        std::vector<std::string> argv = {executable_dir() + "/" + program};
        argv.insert(argv.end(), args.begin(), args.end());
        return Child::spawn(argv, env, out);
    }
    Outcome kavi(const std::vector<std::string> &args) {
        std::string out = dir_ + "/kavi" + std::to_string(runs_++) + ".out";
        int code = spawn("kavi", args, out).wait(20000);
        return {code, read_file(out)};
    }
    Outcome send(std::vector<std::string> args) {
        args.insert(args.begin(), {"send", "TEXIT", "--timeout", "10"});
        return kavi(args);
    }
    std::string raw_file(const std::vector<uint8_t> &bytes) {
        std::string path = dir_ + "/raw" + std::to_string(runs_++);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
        return path;
    }

    std::string dir_ = make_temp_dir();
    std::string exit_out_ = dir_ + "/exit.out";
    std::string node_ = getenv("KAVI_NODE");  // as the tools print it, upper-cased
    int runs_ = 0;
};

// Element blocks (from message offset 112) that must never reach the exit function; the
// elements within a block are the reader's and the queue thread's tests.
std::vector<std::vector<uint8_t>> malformed_corpus() {
    auto raw = [](uint16_t length, uint16_t type, const std::vector<uint8_t> &body = {}) {
        std::vector<uint8_t> v;
        lifecycle::add_element(&v, length, type, body);
        return v;
    };
    // with_block: an element block holding the parameter block, then `tail`.
    auto with_block = [&](const std::vector<uint8_t> &tail, uint16_t declared = 0) {
        std::vector<uint8_t> elements;
        lifecycle::add_block(&elements, 0, "TEXIT   ");
        elements.insert(elements.end(), tail.begin(), tail.end());
        return raw(declared != 0 ? declared : static_cast<uint16_t>(4 + elements.size()), 0x100,
                   elements);
    };
    std::vector<uint8_t> noise(300);
    uint32_t seed = 12345;
    for (uint8_t &b : noise) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    return {
        {},                                                      // no element block
        raw(4, 0x100),                                           // nothing but the head
        raw(2, 0x100),                                           // length below the head
        raw(0xFFFF, 0x100),                                      // far longer than what came
        raw(4, 1),                                               // not even the head
        raw(8, 0x101),                                           // wrong block type
        with_block({}, 300),                                     // declares less than arrived
        with_block(raw(0xFFFF, 2, {'a', 0})),                    // beyond the block
        raw(104, 0x100, raw(100, 1, std::vector<uint8_t>(96))),  // block element too short
        raw(12, 0x100, raw(8, 2, {'a', 'b', 'c', 0})),           // a field but no block
        // A status element for a correlation nobody waits for.
        with_block(raw(10, 16, {0, 0, 0x78, 0x56, 0x34, 0x12})),
        noise,
    };
}

// The echo example in run mode 0, and what kavi send prints: the fields sent, then the status
// and only what the exit changed; --all for every field; JSON that can be sent again as it is.
TEST_F(EndToEnd, EchoExampleAnswersAndSendPrintsWhatWasSentAndWhatChanged) {
    Child exit = start_exit("echo_exit", {"--run-mode", "0", "ECHO"});
    Outcome run =
        kavi({"send", "ECHO", "--set", "command_string=hello", "--set", "display_name=abc", "--set",
              "user_data=00ff", "--set", "resource_status_ts=2015-03-09T14:05:07.6", "--set",
              "exit_timeout=-7", "--set", "numb=7", "--json"});
    EXPECT_EQ(run.code, 0) << run.out;
    contains(run.out, {"\"command_string\": \"HELLO\"", "\"display_name\": \"cba\"",
                       "\"user_data\": \"ff00\"", "\"op_id\": \"ECHOED\"",
                       "\"resource_status_ts\": \"2015-03-09T14:05:07.6\"",
                       "\"extended_reason_code\": -7,", "\"numb\": 7}"});

    Outcome text = kavi({"send", "ECHO", "--set", "command_name=HELLO", "--set",
                         "command_string=hello, exit", "--set=display_name=abc"});
    EXPECT_EQ(text.code, 0) << text.out;
    std::regex expected("sent to ECHO on node " + node_ +
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
    EXPECT_THAT(all.out, HasSubstr("\n  resource_QOB_oid: (none)\n"));
    EXPECT_GE(std::count(all.out.begin(), all.out.end(), '\n'), 50);

    // JSON out, JSON in: the reply sent again comes back with the changes undone.
    std::string json = dir_ + "/reply.json";
    std::ofstream(json) << kavi({"send", "ECHO", "--json", "--set", "display_name=abc", "--set",
                                 "user_data=00ff", "--set", "exit_timeout=-7"})
                               .out;
    Outcome again = kavi({"send", "ECHO", "--json", "--json-in", json});
    EXPECT_EQ(again.code, 0) << again.out;
    contains(again.out, {"\"display_name\": \"abc\"", "\"user_data\": \"00ff\"",
                         "\"extended_reason_code\": -7,"});
    EXPECT_EQ(kavi({"send", "NOBODY", "--timeout", "1"}).code, 3);
    exit.kill(SIGTERM);
    EXPECT_EQ(exit.wait(10000), 0);
}

// One exit through ping, malformed messages and replies, then stats and list, which ask the exit
// itself (it answers from its queue thread), and shutdown.
TEST_F(EndToEnd, PingMalformedMessagesRepliesStatsListAndShutdownOfARunningExit) {
    Child exit = start_exit("kavi_test_exit", {"TEXIT", "1"});
    std::string pid = std::to_string(exit.pid());
    Outcome ping = kavi({"ping", "texit"});
    EXPECT_EQ(ping.code, 0);
    EXPECT_TRUE(std::regex_match(
        ping.out, std::regex("TEXIT on node " + node_ + " answered in [0-9.]+ ms \\(pid " + pid +
                             ", kavi_test_exit\\)\n")))
        << ping.out;
    EXPECT_EQ(kavi({"ping", "NOBODY"}).code, 3);
    for (const std::vector<uint8_t> &message : malformed_corpus()) {
        Outcome run = send({"--raw", raw_file(message), "--timeout", "0.2"});
        EXPECT_EQ(run.code, 4) << run.out;
    }
    EXPECT_THAT(read_file(exit_out_), Not(HasSubstr("invoked"))) << "the exit function ran";

    // A full reply carries the block and the low 16 bits of the status; so does the router's.
    Outcome block_only = send({});
    EXPECT_EQ(block_only.code, 0) << block_only.out;
    EXPECT_THAT(block_only.out, HasSubstr("status: 0 (0x0000)\nreply: 470 bytes in "));
    Outcome status = send({"--set", "command_name=STATUS", "--set", "command_string=0x12345"});
    EXPECT_EQ(status.code, 1);
    EXPECT_THAT(status.out, HasSubstr("status: 9029 (0x2345)"));
    EXPECT_EQ(send({"--router", "--set", "command_name=STATUS", "--set", "command_string=0"}).code,
              0);
    Outcome stats = kavi({"stats", "TEXIT"});
    EXPECT_EQ(stats.code, 0);
    EXPECT_TRUE(std::regex_search(
        stats.out, std::regex("^exit TEXIT on node " + node_ + ": pid " + pid +
                              " \\(kavi_test_exit\\), run mode 1, registered "
                              "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z\n"
                              "commands: 3 \\(status 0: 2, other: 1\\)\n"
                              "exit function time: p50 <= [0-9]+ us, p90 <= [0-9]+ us, p99 <= "
                              "[0-9]+ us, max <= [0-9]+ us\n$")))
        << stats.out;
    EXPECT_THAT(kavi({"stats", "TEXIT", "--json"}).out,
                HasSubstr("\"commands\": 3, \"status_zero\": 2, \"status_other\": 1,"));

    Outcome list = kavi({"list"});
    EXPECT_TRUE(std::regex_search(
        list.out, std::regex("\n  TEXIT +" + pid + " +kavi_test_exit +1 +3 +[0-9T:-]+Z\n")))
        << list.out;
    EXPECT_THAT(list.out, Not(HasSubstr("  KV")));

    // Stopping one exit stops its program, the way SIGTERM from a service manager does; another
    // task on the node does not keep kavi waiting once the exit is gone.
    kavc::TaskClient onlooker("ONLOOKER");
    ASSERT_EQ(onlooker.start_rc(), VULC_OK);
    Outcome shutdown = kavi({"shutdown", "TEXIT"});
    EXPECT_EQ(shutdown.code, 0) << shutdown.out;
    EXPECT_EQ(shutdown.out,
              "asked process " + pid + ", which holds TEXIT, to stop (SIGTERM)\nTEXIT stopped\n");
    EXPECT_EQ(exit.wait(10000), 0);  // under AddressSanitizer, an unreleased message fails it
    EXPECT_EQ(kavi({"shutdown", "TEXIT"}).code, 3);
}

}  // namespace
