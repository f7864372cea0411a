// log_sentences_test.cpp — every error-log site of the library has its sentence, and real
// failures end their log lines with the sentence that says what happened, names decoded.
#include "exit/log_sentences.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

uint32_t KAVI_CALL do_nothing(_VULE_PARAMETERS32 *) {
    return 0;
}

// The sites the library's sources log at: the line argument of every KAVI_LOG with a number
// there, and the numbers handed to the helpers that log for their callers.
std::set<uint32_t> logged_sites() {
    const std::regex patterns[] = {
        std::regex(R"(KAVI_LOG\([^,;]+,[^,;]+,[^,;]+,\s*(\d+)\s*,)"),
        std::regex(R"(\b(?:logObject|lock)\([^;]*?,\s*(\d{3,})\s*[,)])"),
        std::regex(R"((?:\bF|"\w+"|padded_caller)\s*,\s*(\d{3,})\))"),
    };
    std::set<uint32_t> sites;
    for (const char *dir : {"exit", "exit/vulece"}) {
        for (const auto &file :
             std::filesystem::directory_iterator(std::string(KAVI_SOURCE_DIR) + "/" + dir)) {
            if (file.path().extension() != ".cpp" || file.path().filename() == "log_sentences.cpp")
                continue;
            std::string source = kavitest::read_file(file.path());
            for (const std::regex &pattern : patterns)
                for (std::sregex_iterator m(source.begin(), source.end(), pattern), end; m != end;
                     ++m)
                    sites.insert(static_cast<uint32_t>(std::stoul((*m)[1])));
        }
    }
    return sites;
}

TEST(LogSentences, EveryLoggingSiteHasItsSentence) {
    std::set<uint32_t> sites = logged_sites();
    // The patterns must keep finding the sites as the code changes: fewer means they broke.
    EXPECT_GE(sites.size(), 69u);
    for (uint32_t site : sites) EXPECT_TRUE(kavi::has_sentence(site)) << "site " << site;
    char out[200];
    EXPECT_FALSE(kavi::describe_entry(9999, 3, 0, nullptr, 0, out, sizeof out));
    EXPECT_STREQ(out, "site 9999 failed with code 3");
}

TEST(LogSentences, SentencesFitTheirBufferAndDecodeTheirItems) {
    auto request = kavc::request_for<VULC_SNDDATA>("ECHO    ");
    memcpy(request.dest_app, "KV00ABCD", 8);
    memcpy(request.dest_node, "NODE1                   ", 24);
    std::vector<uint8_t> message(kavi::codec::HEADER_SIZE);
    memcpy(&message[VULC_HDR_DEST_NAME], "TEXIT   ", 8);
    const uint32_t bytes = 70000;
    const struct {
        uint32_t site, code;
        VULZ_ITEM item;
        const char *sentence;
    } cases[] = {
        {1320,
         VULC_UNREACHABLE,
         {&request, uint32_t{sizeof request}},
         "the reply of exit ECHO could not be sent to task KV00ABCD on node NODE1 (the sender of "
         "command 0x00000000 is gone: it gave up waiting or ended): 9 (the destination is not "
         "reachable)"},
        // A message item names the exit it was for.
        {460,
         0,
         {message.data(), static_cast<uint32_t>(message.size())},
         "a message for exit TEXIT has a header that is not valid; it was dropped unanswered"},
        // An item that cannot be read leaves the name unknown, never a crash.
        {560,
         VULC_INVALID_REQUEST,
         {reinterpret_cast<const void *>(8), 80},
         "exit (unknown) could not release a message buffer: 87 (the request is not valid)"},
        // A number is the first item's.
        {1300,
         0,
         {&bytes, 4},
         "a reply would be 70000 bytes, too long for the command's buffer; a status reply without "
         "the block goes back instead"},
    };
    char out[300];
    for (const auto &c : cases) {
        ASSERT_TRUE(kavi::describe_entry(c.site, c.code, 0, &c.item, 1, out, sizeof out));
        EXPECT_STREQ(out, c.sentence);
    }
    // A short buffer cuts the sentence, terminated.
    kavi::describe_entry(1320, VULC_UNREACHABLE, 0, &cases[0].item, 1, out, 16);
    EXPECT_EQ(strlen(out), 15u);
}

class LoggedFailure : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = kavitest::make_temp_dir() + "/errlog";
        setenv("KAVZ_ERRLOG", path_.c_str(), 1);
    }
    void TearDown() override { unsetenv("KAVZ_ERRLOG"); }
    std::string log() const { return kavitest::read_file(path_); }
    std::string path_;
};

TEST_F(LoggedFailure, ReservedAndBlankNamesAreInvalidNamesWithTheirReason) {
    // Each in a process of its own: failures of one kind within a second are written once.
    for (const char *name : {"KAVIEXIT", "kaviexit", "A B", "A/B", "ABCDEFGHI"}) {
        kavitest::Child child = kavitest::Child::fork_run(
            [name] { return KaviInit(name, do_nothing, 1) == VULE_INVALID_ARGUMENT ? 0 : 1; });
        EXPECT_EQ(child.wait(10000), 0) << name;
    }
    std::string text = log();
    for (const char *part :
         {"site=130 code=2 (0x2) reason=1 (0x1) item0=8:",
          " msg=\"the exit name KAVIEXIT is not valid: KAVIEXIT is the name of the node's "
          "router\"\n",
          " msg=\"the exit name A B is not valid: a name may not hold blanks, control characters, "
          "'/' or '\\\\'\"\n",
          " msg=\"the exit name A/B is not valid",
          " msg=\"the exit name ABCDEFGHI is not valid: a name has 1 to 8 readable characters\"\n"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    EXPECT_EQ(kavi::exit_table[0].name[0], '\0');
}

// The case a newcomer met: the name is taken by another exit program of the node.
TEST_F(LoggedFailure, NameTakenByAnotherProgramSaysWhoHasIt) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    kavitest::Child other = kavitest::Child::fork_run([&] {
        char byte = KaviInitialize("UPPER", do_nothing) == VULE_OK ? 1 : 0;
        (void)!write(ready[1], &byte, 1);
        pause();
        return 0;
    });
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    EXPECT_EQ(KaviInitialize("upper", do_nothing), VULE_NOT_CREATED);
    std::string node = plat::node_name();
    std::string text = log();
    EXPECT_NE(text.find(" KaviInit site=140 code=1 (0x1) reason=183 (0xb7) item0="),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" msg=\"the mailslot of exit UPPER could not be created: 183 (the name "
                        "exists on the node); exit UPPER is already registered on node " +
                        node + " (pid " + std::to_string(other.pid()) + ")\"\n"),
              std::string::npos)
        << text;
    close(ready[0]);
    close(ready[1]);
}

TEST_F(LoggedFailure, TerminatingAnUnknownExitNamesIt) {
    lifecycle::Tool tool("NOTMINE");
    EXPECT_EQ(KaviTerminate("notmine"), VULE_NOT_REGISTERED);
    EXPECT_NE(log().find(" msg=\"KaviTerminate: exit NOTMINE is not registered in this process\""),
              std::string::npos)
        << log();
}

}  // namespace
