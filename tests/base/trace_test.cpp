// trace_test.cpp — where logged exceptions go under the OPTRC trace settings, and the message
// file. The settings are read once per process, so each case runs its throw in a child, which
// writes into the test's folder.
#include <gtest/gtest.h>
#include <stdio.h>

#include <cstring>

#include "base/imsgtext.hpp"
#include "iexcept.hpp"
#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

constexpr char kLogged[] =
    ">IInvalidRequest exception thrown.\n  function: VuleCommandExit::VuleCommandExit\n"
    "  file: .\\vulece\n  line: 167\n>   Error Id is 1\n>   Error Code group is Other Error Group\n"
    ">   Exception text is:\n"
    ">      The following expression must be true, but it evaluated to false: rc == VULE_OK.\n";

using Env = std::vector<std::pair<const char *, std::string>>;

// The lines of a text file, each ended by a line feed whatever ends it on this system.
std::string lines_of(const std::string &path) {
    std::string text = kavitest::read_file(path);
    std::erase(text, '\r');
    return text;
}

// In a child with the variables set, fails the registration assertion once; returns what went to
// dir/out and dir/err, and the exit code.
std::string throwInChild(const std::string &dir, const Env &env) {
    kavitest::Child child = kavitest::Child::fork_run([&] {
        for (const auto &[name, value] : env) plat::env_set(name, value.c_str());
        if (!freopen((dir + "/out").c_str(), "wb", stdout)) return 10;
        if (!freopen((dir + "/err").c_str(), "wb", stderr)) return 11;
        try {
            failStateAssertion(
                "rc == VULE_OK",
                ISourceLocation(".\\vulece", "VuleCommandExit::VuleCommandExit", 167));
        } catch (IInvalidRequest &) {
            return 0;
        }
        return 12;
    });
    int code = child.wait(10000);
    return "out:" + kavitest::read_file(dir + "/out") + "err:" + kavitest::read_file(dir + "/err") +
           "code:" + std::to_string(code);
}

// Off by default; to standard output without prefix; nowhere for a file without a name; to
// standard error with the thread prefix; a blank in a name wins over the underscore, and the
// file is appended.
TEST(Trace, DestinationsAndPrefixes) {
    std::string dir = kavitest::test_temp_dir(), file = dir + "/trace.txt";
    EXPECT_EQ(throwInChild(dir, {}), "out:err:code:0");
    EXPECT_EQ(throwInChild(dir, {{"OPTRC_TRACE", "noprefix"}, {"OPTRC_TRACETO", "out"}}),
              std::string("out:") + kLogged + "err:code:0");
    EXPECT_EQ(throwInChild(dir, {{"OPTRC_TRACETO", "FILE"}}), "out:err:code:0");
    std::string err = throwInChild(dir, {{"OPTRC_TRACETO", "STDERR"}});
    EXPECT_TRUE(err.starts_with("out:err:[")) << err;
    EXPECT_NE(std::string::npos, err.find("] >IInvalidRequest exception thrown.\n"));
    EXPECT_NE(std::string::npos, err.find("] >   Error Id is 1\n"));
    Env blank = {{"OPTRC_TRACE", "NOPREFIX"},
                 {"OPTRC TRACETO", "file"},
                 {"OPTRC_TRACETO", "STDOUT"},
                 {"OPTRC TRACEFILE", file}};
    EXPECT_EQ(throwInChild(dir, blank), "out:err:code:0");
    EXPECT_EQ(throwInChild(dir, blank), "out:err:code:0");
    EXPECT_EQ(std::string(kLogged) + kLogged, lines_of(file));
}

TEST(Trace, MailslotIsTheDefaultDestinationOneMessageALine) {
    plat::Mailslot *slot = nullptr;
    // Not asserted: a child that runs the test again finds the name taken, and goes on to throw.
    EXPECT_EQ(0u, plat::mailslot_create("\\\\.\\mailslot\\PRINTF32", &slot));
    EXPECT_EQ(throwInChild(kavitest::test_temp_dir(), {{"OPTRC_TRACE", "on"}}), "out:err:code:0");
    std::vector<std::string> messages;
    char buf[4096];
    size_t len = 0;
    while (messages.size() < 5 && plat::mailslot_read(slot, buf, sizeof buf, &len, 2000) == 0)
        messages.emplace_back(buf, len);
    plat::mailslot_close(slot);
    ASSERT_EQ(5u, messages.size());
    EXPECT_EQ('[', messages[0][0]);
    EXPECT_NE(std::string::npos, messages[0].find("] >IInvalidRequest exception thrown.\n"));
    EXPECT_NE(std::string::npos,
              messages[4].find("] >      The following expression must be true, but it "
                               "evaluated to false: rc == VULE_OK.\n"));
}

TEST(MessageText, FileTextsWithInsertsOverBuiltInTexts) {
    std::string dir = kavitest::make_temp_dir(), path = dir + "/messages.txt";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fprintf(f, "# kaviexit messages\n1\tCustom %%2 before %%1, %%3 stays.\r\n77\t%s\n",
            std::string(3000, 'x').c_str());
    fclose(f);
    plat::env_set("OPTRC_MSGFILE", path.c_str());
    char text[kavibase::MESSAGE_TEXT_MAX + 1];
    const char *inserts[] = {"one", "two"};
    kavibase::messageText(1, text, inserts, 2);
    EXPECT_STREQ("Custom two before one, %3 stays.", text);
    kavibase::messageText(4, text);
    EXPECT_STREQ("Out of memory; unable to allocate memory.", text);
    kavibase::messageText(77, text);
    EXPECT_EQ(kavibase::MESSAGE_TEXT_MAX, strlen(text));
    kavibase::messageText(670, text);
    EXPECT_STREQ("Unable to load text from message file.", text);
    // A path that does not fit the 1,024-byte buffer with its terminator is not read.
    for (size_t length : {1023u, 1024u}) {
        std::string slashes(length - dir.size() - strlen("messages.txt"), '/');
        plat::env_set("OPTRC_MSGFILE", (dir + slashes + "messages.txt").c_str());
        kavibase::messageText(1, text, inserts, 1);
        EXPECT_EQ(length < 1024, std::string(text).starts_with("Custom")) << length;
    }
    plat::env_set("OPTRC_MSGFILE", "");  // as if unset
    kavibase::messageText(1, text, inserts, 1);
    EXPECT_STREQ("The following expression must be true, but it evaluated to false: one.", text);
    // Inserts are cut at the limit.
    std::string longInsert(5000, 'y');
    inserts[0] = longInsert.c_str();
    kavibase::messageText(1, text, inserts, 1);
    EXPECT_EQ(kavibase::MESSAGE_TEXT_MAX, strlen(text));
}

}  // namespace
