// command_exit_test.cpp — VuleCommandExit: registration or the exception, the wait and its end by
// `kavi shutdown`, termination and its logged failure, the debug text and the trace records.
#include <stdlib.h>

#include <future>
#include <thread>

#include "exit/exit_table.h"
#include "tests/vulece/support.h"

namespace {

using namespace std::chrono_literals;
using vuletest::hex;
using vuletest::Record;

static_assert(!std::is_copy_constructible_v<VuleCommandExit>);
static_assert(!std::is_copy_assignable_v<VuleCommandExit>);

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *) {
    return 0;
}

// The error log of this test process goes to a file of its own, whose path is returned.
std::string errorLog() {
    std::string path = kavitest::make_temp_dir() + "/errlog";
    setenv("KAVZ_ERRLOG", path.c_str(), 1);
    return path;
}

std::string hexBytes(const std::string &text) {
    std::string out;
    char pair[3];
    for (unsigned char c : text) out += (snprintf(pair, sizeof pair, "%02x", c), pair);
    return out;
}

// Runs `kavi shutdown` until it has ended a wait, for at most 5 seconds.
bool shutDownWithTheTool() {
    std::string out = kavitest::make_temp_dir() + "/out";
    return kavitest::eventually(
        [&] {
            return kavitest::Child::spawn({kavitest::executable_dir() + "/kavi", "shutdown"}, {},
                                          out)
                           .wait(5000) == 0 &&
                   !kavitest::read_file(out).starts_with("0 waits");
        },
        5000);
}

TEST(CommandExit, NineCharacterNameThrowsAfterLogging) {
    std::string log = errorLog();
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
        // What failed, for the catcher: the assertion, the name, the code and its meaning.
        ASSERT_EQ(e.textCount(), 2u);
        EXPECT_NE(std::string(e.text(0)).find("rc == VULE_OK"), std::string::npos) << e.text(0);
        EXPECT_STREQ(e.text(1),
                     "exit NINECHARS could not be registered: code 2 (the name is not valid: 1 "
                     "to 8 characters, no blanks, not KAVIEXIT)");
    }
    // The code is in the error log alone, with the debug text of the object that never was.
    std::string text = kavitest::read_file(log);
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
    std::string log = errorLog();
    std::promise<void> ran;
    {
        VuleCommandExit exit("Cls1", answer, 0);
        EXPECT_EQ(KaviInitialize("CLS1", answer), VULE_NOT_CREATED);  // registered, upper case
        std::thread waiter([&] {
            exit.run();
            ran.set_value();
        });
        EXPECT_TRUE(shutDownWithTheTool());
        EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
        waiter.join();
    }
    // The destructor ended the exit: the name is free again, and nothing of the object failed.
    ASSERT_EQ(KaviInitialize("CLS1", answer), VULE_OK);
    EXPECT_EQ(KaviTerminate("CLS1"), 0u);
    EXPECT_EQ(kavitest::read_file(log).find("VuleCommandExit::"), std::string::npos);
}

TEST(CommandExit, WaitingConstructorReturnsAfterShutdown) {
    std::promise<void> constructed;
    std::thread program([&] {
        VuleCommandExit exit("CLS2", answer, 1);
        constructed.set_value();
    });
    EXPECT_TRUE(shutDownWithTheTool());
    EXPECT_EQ(constructed.get_future().wait_for(5s), std::future_status::ready);
    program.join();
}

TEST(CommandExit, RunModeZeroRunsCommandsOnTheDispatcher) {
    VuleCommandExit serial("CLS4", answer, 0, 0), threaded("CLS5", answer, 0, 1);
    EXPECT_NE(kavi::exit_table[0].dispatcher_mutex, nullptr);
    EXPECT_EQ(kavi::exit_table[1].dispatcher_mutex, nullptr);
}

TEST(CommandExit, DebugTextAndAFailedTerminationIsLoggedNotThrown) {
    std::string log = errorLog();
    {
        VuleCommandExit exit("CLS3", answer, 0);
        const IVBase &object = exit;
        EXPECT_STREQ(object.asString(), "VuleCommandExit");
        EXPECT_EQ(std::string(object.asDebugInfo()), "VuleCommandExit[this=&0x" + hex(&exit) +
                                                         ", name=CLS3, code=&0x" +
                                                         hex((void *)answer) + "]");
        ASSERT_EQ(KaviTerminate("CLS3"), 0u);
    }
    EXPECT_NE(kavitest::read_file(log).find(
                  " VuleCommandExit::~VuleCommandExit site=227 code=4 (0x4) reason=0 "),
              std::string::npos);
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
    const std::string run = "VuleCommandExit::run", zero(4, '\0');
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records, (std::vector<Record>{{ctor, 1, 147, {text, zero}},
                                            {ctor, 2, 179, {text, zero}},
                                            {run, 1, 276, {text}},
                                            {run, 2, 310, {text}},
                                            {dtor, 1, 215, {text}},
                                            {dtor, 2, 239, {zero}},
                                            // A failed registration leaves only its entry record;
                                            // its code went to the error log.
                                            {ctor, 1, 147, records.back().items}}));
    EXPECT_NE(kavitest::read_file(dir + "/errlog").find("site=163 code=2 "), std::string::npos);
}

}  // namespace
