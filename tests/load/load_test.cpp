// load_test.cpp — fault seams, killed peers and a storm of calls across real processes: every
// command is answered exactly once, every call returns with its own answer, nothing is left.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <future>
#include <map>
#include <thread>

#include "services/kavcacm/buffers.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

constexpr int NO_ANSWER = -1;

// The exits here answer 0x1000 plus the command's number (12 bits) and set resource_type to it:
// the command name when that is a number (so that calls can share a correlation), else the
// correlation's `numb`. HOLD prints "held N" and sleeps command_string milliseconds first.
uint32_t KAVI_CALL load_exit(_VULE_PARAMETERS32 *b) {
    std::string name = b->command_name != nullptr ? b->command_name : "";
    uint32_t n = isdigit(name[0]) ? strtoul(name.c_str(), nullptr, 10) : b->correlation_id.numb;
    if (name == "HOLD") printf("held %u\n", n), fflush(stdout);
    if (name == "HOLD") plat::sleep_ms(strtoul(b->command_string, nullptr, 10));
    b->resource_type = n;
    return 0x1000u + (n & 0xFFFu);
}
int exit_status(uint16_t n) {
    return 0x1000 + n;
}

// A peer process (this program's LoadPeer test) serving an exit, with its output and error log.
class ExitProgram {
  public:
    ExitProgram(const std::string &name, const std::string &run_mode,
                std::vector<std::string> env = {})
        : dir_(kavitest::make_temp_dir()) {
        env.insert(env.end(), {"LOAD_EXIT=" + name, "LOAD_RUN_MODE=" + run_mode,
                               "LOAD_NODE=" + plat::node_name(), "KAVZ_ERRLOG=" + dir_ + "/log"});
        child = kavitest::Child::spawn({"/proc/self/exe", "--gtest_filter=LoadPeer.DISABLED_Exit",
                                        "--gtest_also_run_disabled_tests"},
                                       env, dir_ + "/out");
    }
    bool shows(const std::string &text) { return kavitest::file_shows(dir_ + "/out", text, 10000); }
    bool registered() { return shows("registered"); }
    std::string output() const { return kavitest::read_file(dir_ + "/out"); }
    std::string error_log() const { return kavitest::read_file(dir_ + "/log"); }
    bool logged(const std::string &text) {
        return kavitest::file_shows(dir_ + "/log", text, 10000);
    }
    // stop: SIGTERM ends the peer's wait; 0 once it terminated its exit and passed its checks.
    int stop() {
        child.kill(SIGTERM);
        return child.wait(20000);
    }
    kavitest::Child child;

  private:
    std::string dir_;
};

// A server: sends numbered commands to an exit through a tool task and counts the answers.
class Server {
  public:
    explicit Server(const std::string &name = "LSERVER") : tool_(name) {
        // The local node address the library learns at registration, for a process without exits.
        memcpy(kavi::local_node_address, lifecycle::node_of(name).data(), 24);
    }
    uint32_t send(const std::string &exit, uint16_t n, const std::string &command = "LOAD",
                  const std::string &text = "") {
        std::vector<uint8_t> elements =
            lifecycle::command_elements(uint32_t{n} << 16, exit, command);
        if (!text.empty()) lifecycle::add_text(&elements, 3, text);
        return tool_.send(exit, elements);
    }
    // expect_answers: commands `from` to `to` each answered once (a second answer would show in
    // the 200 ms after), with the exit's status, the one given for it, or `every` when not 0.
    void expect_answers(uint16_t from, uint16_t to, const std::map<uint16_t, int> &otherwise = {},
                        int every = 0) {
        std::map<uint16_t, int> expected;
        size_t pending = 0;
        for (uint16_t n = from; n <= to; ++n) {
            auto special = otherwise.find(n);
            expected[n] = special != otherwise.end() ? special->second
                          : every != 0               ? every
                                                     : exit_status(n);
            pending += expected[n] != NO_ANSWER && answers_.count(n) == 0;
        }
        for (std::vector<uint8_t> reply;
             !(reply = tool_.receive(pending > 0 ? 20000 : 200)).empty(); pending -= pending > 0) {
            uint32_t correlation = 0;
            int status = lifecycle::reply_status(reply, &correlation);
            answers_[correlation >> 16].push_back(status);
        }
        for (const auto &[n, status] : expected)
            EXPECT_EQ(answers_[n],
                      status == NO_ANSWER ? std::vector<int>{} : std::vector<int>{status})
                << "command " << n;
    }

  private:
    lifecycle::Tool tool_;
    std::map<uint16_t, std::vector<int>> answers_;
};

// The peer process: registers LOAD_EXIT in LOAD_RUN_MODE on LOAD_NODE, retrying up to 5 times (a
// failed registration must leave nothing behind), serves until SIGTERM and terminates its exit;
// then no buffer of the service is left handed out. LOAD_KEEP leaves the exit registered.
TEST(LoadPeer, DISABLED_Exit) {
    std::string name, mode, node;
    ASSERT_TRUE(plat::env_get("LOAD_EXIT", &name) && plat::env_get("LOAD_RUN_MODE", &mode) &&
                plat::env_get("LOAD_NODE", &node));
    setenv("KAVI_NODE", node.c_str(), 1);  // the test's node, not one of its own
    uint32_t rc = VULE_SYSTEM_ERROR;
    for (int attempt = 0; attempt < 5 && rc != VULE_OK; ++attempt)
        if ((rc = KaviInit(name.c_str(), load_exit, std::stoul(mode))) != VULE_OK)
            printf("init failed %u\n", rc);
    ASSERT_EQ(rc, VULE_OK);
    printf("registered\n"), fflush(stdout);
    KaviWait(name.c_str(), -1);
    if (plat::env_get("LOAD_KEEP", &mode)) return;  // the process-exit handler's to answer
    EXPECT_EQ(KaviTerminate(name.c_str()), VULE_OK);
    EXPECT_EQ(kavc::buffers_live(), 0u);
}

struct Seam {
    const char *run_mode;
    // Counted from the peer's start: allocations are the receive scratch and the queue start
    // record (run mode 0: the dispatcher's start and stop records too), then per command its
    // receive buffer and invocation record (run mode 0: its work-list node too).
    const char *faults;
    std::map<uint16_t, int> otherwise;  // commands not answered by the exit function
    const char *logged;                 // what the peer's error log must show
    int every = 0;  // the status of every command not in `otherwise`, when not the exit's
};

TEST(FaultSeam, EveryCommandAnsweredExactlyOnceAndTheExitEndsCleanly) {
    const Seam seams[] = {
        // The receive buffer: the message stays with the service and is received again.
        {"1", "alloc:2:1", {}, "VuleQueThread site=440 code=8"},
        {"1", "alloc:3:1", {{0, 0x8009}}, "VuleQueThread site=520"},
        {"0", "alloc:6:1", {{0, 0x8009}}, "VuleSingleThreadPost site=153"},
        {"1", "thread_start:1:60", {{0, 0x800A}}, "VuleQueThread site=530"},
        // Without its dispatcher an exit in run mode 0 answers every command it gets.
        {"0", "thread_start:1:1", {}, "VuleQueThread site=410", 0x800A},
        // A reply that cannot be sent is logged; the exit goes on with the next command.
        {"0", "mailslot_write:2:1", {{2, NO_ANSWER}}, "VulequetInvokeExit site=1320"},
        // Registration seams: the failed registration gives back what it made; the retry succeeds.
        {"1", "mailslot_create:1:1", {}, "KaviInit site=150"},
        {"0", "event_create:1:1", {}, "KaviInit site=200"},
        {"0", "mutex_create:1:1", {}, "KaviInit site=200"},
        {"1", "mutex_create:1:1", {}, "KaviInit site=210"}};
    for (const Seam &seam : seams) {
        SCOPED_TRACE(std::string(seam.faults) + " in run mode " + seam.run_mode);
        ExitProgram exit("FEXIT", seam.run_mode,
                         {std::string("KAVI_FAULTS=") + seam.faults, "KAVI_START_PAUSE_MS=1"});
        ASSERT_TRUE(exit.registered()) << exit.output();
        EXPECT_EQ(exit.output().find("init failed") != std::string::npos,
                  std::string(seam.logged).rfind("KaviInit", 0) == 0);
        Server server;
        for (uint16_t n = 0; n < 20; ++n) ASSERT_EQ(server.send("FEXIT", n), VULC_OK);
        server.expect_answers(0, 19, seam.otherwise, seam.every);
        EXPECT_EQ(exit.stop(), 0) << exit.output();
        EXPECT_TRUE(exit.logged(seam.logged)) << exit.error_log();
    }
}

// A mutex abandoned inside the library costs at most the one operation that meets it; the
// active-command table's is taken all the same, because every command in it must be answered.
TEST(Abandoned, MutexesCostAtMostTheOneOperationThatMeetsThem) {
    using lifecycle::abandon;
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    ASSERT_EQ(KaviInit("EARLY", load_exit, 1), VULE_OK);  // the table's mutex exists from here on
    abandon(kavi::exit_table_mutex);
    EXPECT_EQ(KaviInit("ABEXIT", load_exit, 0), VULE_SYSTEM_ERROR);
    ASSERT_EQ(KaviInit("ABEXIT", load_exit, 0), VULE_OK);  // nothing of the failed one is left
    Server server;
    abandon(kavi::active_command_mutex);
    for (uint16_t n = 1; n <= 3; ++n) ASSERT_EQ(server.send("EARLY", n), VULC_OK);
    server.expect_answers(1, 3);
    plat::Mutex *dispatcher = nullptr;
    for (const kavi::ExitSlot &slot : kavi::exit_table)
        if (std::strcmp(slot.name, "ABEXIT  ") == 0) dispatcher = slot.dispatcher_mutex;
    ASSERT_NE(dispatcher, nullptr);
    abandon(dispatcher);  // the first command to meet it is answered 0x8009, the stop still arrives
    for (uint16_t n = 4; n <= 6; ++n) ASSERT_EQ(server.send("ABEXIT", n), VULC_OK);
    server.expect_answers(4, 6, {{4, VULE_NO_COMMAND_MEMORY}});
    EXPECT_EQ(KaviTerminate("ABEXIT"), uint32_t{VULE_OK});
    EXPECT_EQ(KaviTerminate("EARLY"), uint32_t{VULE_OK});
}

// hold: a KaviSend from PCALLER that asks PTARGET to hold command 7 for `ms` milliseconds.
std::future<uint32_t> hold(const char *ms) {
    return std::async(std::launch::async, [ms] {
        char command[] = "HOLD";
        std::string milliseconds = ms;
        _VULE_PARAMETERS32 block{};
        block.command_name = command;
        block.command_string = milliseconds.data();
        block.correlation_id.numb = 7;
        return KaviSend("PCALLER ", "PTARGET", " ", &block);
    });
}
// result: a call's result; one that does not return within 5 s ends the test process.
uint32_t result(std::future<uint32_t> &call) {
    if (call.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "KaviSend still waits for its target";
        std::_Exit(1);
    }
    return call.get();
}

// Peers killed mid-command. A reply to a dead server is logged, nothing of it is kept, and the
// exit serves on. A KaviSend waits for a live, busy target, but once the target's process is gone
// (even if another process registered its name since) the call ends with 0x8001.
TEST(PeerKilled, EveryCommandAndCallEndsOnce) {
    ExitProgram target("PTARGET", "1", {"KAVI_START_PAUSE_MS=0"});
    ASSERT_TRUE(target.registered()) << target.output();
    // Forked while this process has no threads of its own yet.
    kavitest::Child server = kavitest::Child::fork_run([] {
        Server("DOOMED").send("PTARGET", 1, "HOLD", "300");
        plat::sleep_ms(60000);
        return 0;
    });
    ASSERT_TRUE(target.shows("held 1"));
    server.kill(SIGKILL);
    EXPECT_EQ(server.wait(5000), 128 + SIGKILL);
    ASSERT_TRUE(target.logged("VulequetInvokeExit site=1320")) << target.error_log();
    Server living;
    for (uint16_t n = 2; n <= 4; ++n) ASSERT_EQ(living.send("PTARGET", n), VULC_OK);
    living.expect_answers(2, 4);

    ASSERT_EQ(KaviInit("PCALLER", load_exit, 1), VULE_OK);
    std::future<uint32_t> busy = hold("1500");
    EXPECT_EQ(result(busy), 0x1007u);
    std::future<uint32_t> call = hold("60000");
    ASSERT_TRUE(target.shows("held 7\nheld 7"));
    target.child.kill(SIGKILL);
    EXPECT_EQ(result(call), uint32_t{VULE_EXIT_ENDED});

    ExitProgram second("PTARGET", "1");
    ASSERT_TRUE(second.registered()) << second.output();
    plat::pause_arm(plat::Pause::send_watching);
    call = hold("60000");
    // The waiting call knows which task got its command; the replacement starts meanwhile.
    ASSERT_TRUE(plat::pause_reached(plat::Pause::send_watching, 10000));
    second.child.kill(SIGKILL);
    // The replacement ends without terminating its exit: at the process's exit its running
    // command is answered (the command's thread takes its memory with it: no leak check).
    ExitProgram replacement("PTARGET", "1", {"LOAD_KEEP=1", "ASAN_OPTIONS=detect_leaks=0"});
    ASSERT_TRUE(replacement.registered()) << replacement.output();
    plat::pause_release(plat::Pause::send_watching);
    EXPECT_EQ(result(call), uint32_t{VULE_EXIT_ENDED});
    ASSERT_EQ(living.send("PTARGET", 8, "HOLD", "60000"), VULC_OK);
    ASSERT_TRUE(replacement.shows("held 8"));
    EXPECT_EQ(replacement.stop(), 0) << replacement.output();
    living.expect_answers(8, 8, {{8, VULE_EXIT_ENDED}});
    EXPECT_EQ(KaviTerminate("PCALLER"), uint32_t{VULE_OK});
}

// 8 threads calling under one correlation from two exits, one of them cycled, to these, to two
// peers' and to a missing one: every call returns its own answer, no buffer or entry is left.
TEST(Stress, EveryCallReturnsWithItsOwnAnswerAndNothingLeaks) {
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    const size_t buffers_before = kavc::buffers_live();
    ASSERT_EQ(KaviInit("S1A", load_exit, 1), VULE_OK);
    ASSERT_EQ(KaviInit("S1B", load_exit, 0), VULE_OK);
    ExitProgram peers[] = {{"S2A", "1"}, {"S2B", "0"}};
    for (ExitProgram &peer : peers) ASSERT_TRUE(peer.registered()) << peer.output();
    const char *callers[] = {"S1A     ", "S1B     "};
    const char *targets[] = {"S1A", "S1B", "S2A", "S2B", "MISSING"};
    std::atomic<bool> traffic{true};
    std::atomic<long> answered[4] = {}, cycles{0}, failures{0};  // answered: by target
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; traffic; ++i) {
                const std::string caller = callers[(i + t) % 2],
                                  command = std::to_string(t << 20 | i);
                _VULE_PARAMETERS32 block{};
                block.command_name = const_cast<char *>(command.c_str());
                uint32_t rc = KaviSend(caller.c_str(), targets[(i / 2 + t) % 5], " ", &block);
                // 0x8001: the target is missing or ended; 4 or 5: the caller is being cycled.
                if (rc == 0x1000u + (i & 0xFFFu) && block.resource_type == (t << 20 | i))
                    ++answered[(i / 2 + t) % 5];
                else if (rc != VULE_EXIT_ENDED &&
                         !(caller == callers[1] &&
                           (rc == VULE_NOT_REGISTERED || rc == VULE_TERMINATING)))
                    ADD_FAILURE() << "call " << command << " from " << caller << ": " << rc;
            }
        });
    }
    std::thread cycler([&] {
        for (; traffic; ++cycles)
            failures +=
                (KaviTerminate("S1B") != VULE_OK) + (KaviInit("S1B", load_exit, 0) != VULE_OK);
    });
    plat::sleep_ms(3000);
    traffic = false;
    auto returned = std::async(std::launch::async, [&] {
        for (std::thread &t : threads) t.join();
        cycler.join();
    });
    if (returned.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "threads still wait in KaviSend";
        std::_Exit(1);
    }
    for (const auto &count : answered) EXPECT_GT(count.load(), 0);
    EXPECT_GT(cycles.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    for (ExitProgram &peer : peers) EXPECT_EQ(peer.stop(), 0) << peer.output();
    EXPECT_EQ(KaviTerminate("S1A"), uint32_t{VULE_OK});
    EXPECT_EQ(KaviTerminate("S1B"), uint32_t{VULE_OK});
    EXPECT_EQ(kavc::buffers_live(), buffers_before);
}

}  // namespace
