// command_exit_test.cpp — VuleCommandExit: registration or the exception, the wait and its end by
// `kavi shutdown`, termination and its logged failure, the debug text and the trace records;
// and a command answered through the parameter object.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "exit/exit_table.h"
#include "tests/vulece/support.h"
#include "vulece.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vuletest::hex;
using vuletest::Record;

static_assert(!std::is_copy_constructible_v<VuleCommandExit>);
static_assert(!std::is_copy_assignable_v<VuleCommandExit>);

// The target exit of the commands below: it reads the command through the parameter object and
// answers with user data of its own, which must outlive the function (the reply is built after
// it returns).
char pong[4] = {'P', 'O', 'N', 'G'};
std::atomic<int> calls{0};
std::string seenAction, seenExit, seenDisplay;

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *block) {
    VuleCommandExitParms parms(block);
    seenAction = static_cast<const char *>(parms.getCmdAction());
    seenExit = static_cast<const char *>(parms.getCmdExit());
    seenDisplay = static_cast<const char *>(parms.getResDispName());
    parms.setUserData(pong, sizeof pong);
    ++calls;
    return static_cast<uint32_t>(parms.getResType() + 1);
}

// The error log of this test process, in a file of its own while the object lives.
class ErrorLog {
  public:
    ErrorLog() : path_(kavitest::make_temp_dir() + "/errlog") {
        setenv("KAVZ_ERRLOG", path_.c_str(), 1);
    }
    ~ErrorLog() { unsetenv("KAVZ_ERRLOG"); }
    std::string text() const { return kavitest::read_file(path_); }

  private:
    std::string path_;
};

// Records the lines of logged exceptions while it lives.
class ExceptionLines : public IException::TraceFn {
  public:
    ExceptionLines() : previous_(IException::setTraceFunction(this)) {}
    ~ExceptionLines() { IException::setTraceFunction(previous_); }
    void write(const char *line) override { lines.emplace_back(line); }

    std::vector<std::string> lines;

  private:
    IException::TraceFn *previous_;
};

std::string hexBytes(const std::string &text) {
    std::string out;
    char pair[3];
    for (unsigned char c : text) {
        snprintf(pair, sizeof pair, "%02x", c);
        out += pair;
    }
    return out;
}

// Runs `kavi shutdown` until it has ended a wait, for at most 5 seconds.
bool shutDownWithTheTool() {
    std::string dir = kavitest::make_temp_dir();
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        kavitest::Child tool = kavitest::Child::spawn(
            {kavitest::executable_dir() + "/kavi", "shutdown"}, {}, dir + "/out");
        if (tool.wait(5000) != 0) return false;
        if (kavitest::read_file(dir + "/out").rfind("0 waits", 0) != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(CommandExit, NineCharacterNameThrowsAfterLogging) {
    ErrorLog log;
    ExceptionLines exceptionLog;
    try {
        VuleCommandExit exit("NINECHARS", answer, 0);
        FAIL() << "registered";
    } catch (IInvalidRequest &e) {
        EXPECT_EQ(e.errorId(), 1u);
        EXPECT_STREQ(e.errorCodeGroup(), "Other Error Group");
        ASSERT_EQ(e.locationCount(), 1u);
        EXPECT_STREQ(e.locationAtIndex(0)->fileName(), ".\\vulece");
        EXPECT_STREQ(e.locationAtIndex(0)->functionName(), "VuleCommandExit::VuleCommandExit");
        EXPECT_EQ(e.locationAtIndex(0)->lineNumber(), 167u);
        // What failed, for the catcher: the name, the code and its meaning.
        ASSERT_EQ(e.textCount(), 2u);
        EXPECT_STREQ(e.text(1),
                     "exit NINECHARS could not be registered: code 2 (the name is not valid: 1 "
                     "to 8 characters, no blanks, not KAVIEXIT)");
    }
    ASSERT_EQ(exceptionLog.lines.size(), 5u);
    EXPECT_NE(exceptionLog.lines[4].find("rc == VULE_OK"), std::string::npos);
    // The code is in the error log alone, with the debug text of the object that never was.
    std::string text = log.text();
    size_t at = text.find(" VuleCommandExit::VuleCommandExit site=163 code=2 (0x2) reason=0 ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find(hexBytes(", name=NINECHARS, code=&0x" + hex((void *)answer) + "]") +
                            " msg=\"VuleCommandExit could not register its exit: KaviInitialize "
                            "returned 2 (invalid argument)\"\n",
                        at),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("site=163", at + 40), std::string::npos) << "one entry";
}

TEST(CommandExit, WaitZeroReturnsAtOnceAndRunEndsOnShutdown) {
    ErrorLog log;
    std::promise<void> ran;
    {
        VuleCommandExit exit("Cls1", answer, 0);
        EXPECT_EQ(KaviInitialize("CLS1", answer), VULE_NOT_CREATED);  // registered, upper case
        std::thread waiter([&] {
            exit.run();
            ran.set_value();
        });
        EXPECT_TRUE(shutDownWithTheTool());
        EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
        waiter.join();
    }
    // The destructor ended the exit: the name is free again, and nothing of the object failed.
    ASSERT_EQ(KaviInitialize("CLS1", answer), VULE_OK);
    EXPECT_EQ(KaviTerminate("CLS1"), 0u);
    EXPECT_EQ(log.text().find("VuleCommandExit::"), std::string::npos) << log.text();
}

TEST(CommandExit, WaitingConstructorReturnsAfterShutdown) {
    std::promise<void> constructed;
    std::thread program([&] {
        VuleCommandExit exit("CLS2", answer, 1);
        constructed.set_value();
    });
    EXPECT_TRUE(shutDownWithTheTool());
    EXPECT_EQ(constructed.get_future().wait_for(std::chrono::seconds(5)),
              std::future_status::ready);
    program.join();
}

TEST(CommandExit, RunModeZeroRunsCommandsOnTheDispatcher) {
    VuleCommandExit serial("CLS4", answer, 0, 0);
    VuleCommandExit threaded("CLS5", answer, 0, 1);
    EXPECT_NE(kavi::exit_table[0].dispatcher_mutex, nullptr);
    EXPECT_EQ(kavi::exit_table[1].dispatcher_mutex, nullptr);
    try {
        VuleCommandExit again("cls4", answer, 0, 0);
        FAIL() << "registered twice";
    } catch (IInvalidRequest &e) {
        EXPECT_EQ(e.errorId(), 1u);
        EXPECT_STREQ(e.text(1),
                     "exit cls4 could not be registered: code 1 (an exit of that name is already "
                     "registered on this node)");
    }
}

TEST(CommandExit, DebugTextAndAFailedTerminationIsLoggedNotThrown) {
    ErrorLog log;
    {
        VuleCommandExit exit("CLS3", answer, 0);
        const IVBase &object = exit;
        EXPECT_STREQ(object.asString(), "VuleCommandExit");
        EXPECT_EQ(std::string(object.asDebugInfo()), "VuleCommandExit[this=&0x" + hex(&exit) +
                                                         ", name=CLS3, code=&0x" +
                                                         hex((void *)answer) + "]");
        ASSERT_EQ(KaviTerminate("CLS3"), 0u);
    }
    std::string text = log.text();
    EXPECT_NE(text.find(" VuleCommandExit::~VuleCommandExit site=227 code=4 (0x4) reason=0 "),
              std::string::npos)
        << text;
}

TEST(CommandExit, CommandAnsweredThroughTheParameterObject) {
    VuleCommandExit caller("CALLER", answer, 0);
    VuleCommandExit target("TARGET", answer, 0);
    _VULE_PARAMETERS32 b{};
    char action[] = "PING";
    char display[] = "resource-1";
    char data[4] = {'p', 'i', 'n', 'g'};
    b.command_name = action;
    b.display_name = display;
    b.user_data = data;
    b.user_data_length = sizeof data;
    b.resource_type = 41;
    std::promise<uint32_t> done;
    std::thread([&] { done.set_value(KaviSend("CALLER  ", "target", " ", &b)); }).detach();
    std::future<uint32_t> result = done.get_future();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "KaviSend did not return";
        std::_Exit(1);
    }
    EXPECT_EQ(result.get(), 42u);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(seenAction, "PING");
    EXPECT_EQ(seenExit, "TARGET");
    EXPECT_EQ(seenDisplay, "resource-1");
    EXPECT_EQ(std::string(data, 4), "PONG");
}

// Run in a child process whose environment turns tracing on before the library loads.
TEST(CommandExitChild, DISABLED_TracedLife) {
    {
        VuleCommandExit exit("TRC", answer, 0);
        printf("%s\n", static_cast<const char *>(exit.asDebugInfo()));
        std::thread waiter([&] { exit.run(); });
        if (!shutDownWithTheTool()) _Exit(3);
        waiter.join();
    }
    try {
        VuleCommandExit failing("", answer, 0);
    } catch (IInvalidRequest &) {
    }
}

TEST(CommandExit, TraceRecords) {
    std::string dir = kavitest::make_temp_dir();
    kavitest::Child child = kavitest::Child::spawn(
        {"/proc/self/exe", "--gtest_filter=CommandExitChild.DISABLED_TracedLife",
         "--gtest_also_run_disabled_tests"},
        {"KAVZ_TRACE_FILE=" + dir + "/trace", "KAVZ_TRACE_MASK=0x600",
         "KAVZ_ERRLOG=" + dir + "/errlog"},
        dir + "/stdout");
    ASSERT_EQ(child.wait(30000), 0) << kavitest::read_file(dir + "/stdout");
    std::string out = kavitest::read_file(dir + "/stdout");
    size_t start = out.find("VuleCommandExit[");
    ASSERT_NE(start, std::string::npos) << out;
    std::string text = out.substr(start, out.find('\n', start) - start);

    std::vector<Record> records =
        vuletest::recordsOf(kavitest::read_file(dir + "/trace"), "VuleCommandExit::");
    const std::string ctor = "VuleCommandExit::VuleCommandExit";
    const std::string dtor = "VuleCommandExit::~VuleCommandExit";
    const std::string run = "VuleCommandExit::run";
    const std::string zero(4, '\0');
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[0], (Record{ctor, 1, 147, {text, zero}}));
    EXPECT_EQ(records[1], (Record{ctor, 2, 179, {text, zero}}));
    EXPECT_EQ(records[2], (Record{run, 1, 276, {text}}));
    EXPECT_EQ(records[3], (Record{run, 2, 310, {text}}));
    EXPECT_EQ(records[4], (Record{dtor, 1, 215, {text}}));
    EXPECT_EQ(records[5], (Record{dtor, 2, 239, {zero}}));
    // A failed registration leaves only its entry record; its code went to the error log.
    EXPECT_EQ(records[6].line, 147u);
    EXPECT_NE(kavitest::read_file(dir + "/errlog").find("site=163 code=2 "), std::string::npos);
}

}  // namespace
