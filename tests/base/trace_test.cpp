// trace_test.cpp — where logged exceptions go under the OPTRC trace settings, and the message
// file. The settings are read once per process, so each case runs its throw in a child.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/imsgtext.hpp"
#include "iexcept.hpp"
#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using kavitest::Child;

constexpr char kLogged[] =
    ">IInvalidRequest exception thrown.\n  function: VuleCommandExit::VuleCommandExit\n"
    "  file: .\\vulece\n  line: 167\n"
    ">   Error Id is 1\n"
    ">   Error Code group is Other Error Group\n"
    ">   Exception text is:\n"
    ">      The following expression must be true, but it evaluated to false: rc == VULE_OK.\n";

using Env = std::vector<std::pair<const char *, std::string>>;

// In a child: sets the variables, sends standard output and error to files in dir, and fails
// the registration assertion once.
int throwInChild(const std::string &dir, const Env &env) {
    Child child = Child::fork_run([&] {
        for (const auto &[name, value] : env) setenv(name, value.c_str(), 1);
        if (freopen((dir + "/out").c_str(), "w", stdout) == nullptr) return 10;
        if (freopen((dir + "/err").c_str(), "w", stderr) == nullptr) return 11;
        try {
            failStateAssertion(
                "rc == VULE_OK",
                ISourceLocation(".\\vulece", "VuleCommandExit::VuleCommandExit", 167));
        } catch (IInvalidRequest &) {
            return 0;
        }
        return 12;
    });
    return child.wait(10000);
}

TEST(Trace, OffByDefaultToStandardOutputWithoutPrefixAndNowhereForAFileWithoutName) {
    for (const auto &[env, out] :
         {std::pair{Env{}, std::string()},
          {Env{{"OPTRC_TRACE", "noprefix"}, {"OPTRC_TRACETO", "out"}}, std::string(kLogged)},
          {Env{{"OPTRC_TRACETO", "FILE"}}, std::string()}}) {
        std::string dir = kavitest::make_temp_dir();
        ASSERT_EQ(0, throwInChild(dir, env));
        EXPECT_EQ(out, kavitest::read_file(dir + "/out"));
        EXPECT_EQ("", kavitest::read_file(dir + "/err"));
    }
}

TEST(Trace, ToStandardErrorWithThreadPrefix) {
    std::string dir = kavitest::make_temp_dir();
    ASSERT_EQ(0, throwInChild(dir, {{"OPTRC_TRACETO", "STDERR"}}));
    std::string err = kavitest::read_file(dir + "/err");
    EXPECT_EQ(0u, err.find('['));
    EXPECT_NE(std::string::npos, err.find("] >IInvalidRequest exception thrown.\n"));
    EXPECT_NE(std::string::npos, err.find("] >   Error Id is 1\n"));
    EXPECT_EQ("", kavitest::read_file(dir + "/out"));
}

TEST(Trace, BlankNameWinsAndFileIsAppended) {
    std::string dir = kavitest::make_temp_dir();
    std::string file = dir + "/trace.txt";
    Env env = {{"OPTRC_TRACE", "NOPREFIX"},
               {"OPTRC TRACETO", "file"},
               {"OPTRC_TRACETO", "STDOUT"},
               {"OPTRC TRACEFILE", file}};
    ASSERT_EQ(0, throwInChild(dir, env));
    ASSERT_EQ(0, throwInChild(dir, env));
    EXPECT_EQ(std::string(kLogged) + kLogged, kavitest::read_file(file));
    EXPECT_EQ("", kavitest::read_file(dir + "/out"));
}

TEST(Trace, MailslotIsTheDefaultDestinationOneMessageALine) {
    plat::Mailslot *slot = nullptr;
    ASSERT_EQ(0u, plat::mailslot_create("\\\\.\\mailslot\\PRINTF32", &slot));
    std::string dir = kavitest::make_temp_dir();
    ASSERT_EQ(0, throwInChild(dir, {{"OPTRC_TRACE", "on"}}));
    std::vector<std::string> messages;
    char buf[4096];
    size_t len = 0;
    while (plat::mailslot_read(slot, buf, sizeof buf, &len, 2000) == 0) {
        messages.emplace_back(buf, len);
        if (messages.size() == 5) break;
    }
    plat::mailslot_close(slot);
    ASSERT_EQ(5u, messages.size());
    EXPECT_EQ('[', messages[0][0]);
    EXPECT_NE(std::string::npos, messages[0].find("] >IInvalidRequest exception thrown.\n"));
    EXPECT_NE(std::string::npos,
              messages[4].find("] >      The following expression must be true, but it "
                               "evaluated to false: rc == VULE_OK.\n"));
}

TEST(MessageText, FileTextsWithInsertsOverBuiltInTexts) {
    std::string dir = kavitest::make_temp_dir();
    std::string path = dir + "/messages.txt";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fprintf(f, "# kaviexit messages\n1\tCustom %%2 before %%1, %%3 stays.\r\n");
    fprintf(f, "77\t%s\n", std::string(3000, 'x').c_str());
    fclose(f);
    setenv("OPTRC_MSGFILE", path.c_str(), 1);
    char text[kavibase::MESSAGE_TEXT_MAX + 1];
    const char *inserts[] = {"one", "two"};
    kavibase::messageText(1, text, inserts, 2);
    EXPECT_STREQ("Custom two before one, %3 stays.", text);
    kavibase::messageText(4, text);
    EXPECT_STREQ("Out of memory; unable to allocate memory.", text);
    kavibase::messageText(77, text);
    EXPECT_EQ(kavibase::MESSAGE_TEXT_MAX, std::string(text).size());
    kavibase::messageText(670, text);
    EXPECT_STREQ("Unable to load text from message file.", text);
    // A path that does not fit the 1,024-byte buffer with its terminator is not read.
    for (size_t length : {1023u, 1024u}) {
        std::string slashes(length - dir.size() - std::strlen("messages.txt"), '/');
        setenv("OPTRC_MSGFILE", (dir + slashes + "messages.txt").c_str(), 1);
        kavibase::messageText(1, text, inserts, 1);
        EXPECT_EQ(length < 1024, std::string(text).rfind("Custom", 0) == 0) << length;
    }
    unsetenv("OPTRC_MSGFILE");
    kavibase::messageText(1, text, inserts, 1);
    EXPECT_STREQ("The following expression must be true, but it evaluated to false: one.", text);
}

TEST(MessageText, InsertsAreCutAtTheLimit) {
    std::string longInsert(5000, 'y');
    const char *inserts[] = {longInsert.c_str()};
    char text[kavibase::MESSAGE_TEXT_MAX + 1];
    kavibase::messageText(1, text, inserts, 1);
    EXPECT_EQ(kavibase::MESSAGE_TEXT_MAX, std::string(text).size());
}

}  // namespace
