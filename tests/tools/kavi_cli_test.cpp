// kavi_cli_test.cpp — kavi explains itself: help for every command lists each option the command
// takes, usage errors are one line that names what is wrong, and the completion script and the
// man page know every option.
#include <regex>
#include <set>

#include "tests/tools/kavi_run.h"

using namespace kavitest;

namespace {

// The long options a help text lists.
std::set<std::string> options_in(const std::string &text) {
    std::set<std::string> found;
    std::regex option(R"(\n  (?:-\w, )?(--[a-z-]+))");
    for (std::sregex_iterator m(text.begin(), text.end(), option), end; m != end; ++m)
        found.insert((*m)[1]);
    return found;
}

TEST(KaviHelp, EveryCommandHasHelpListingItsOptionsTheSameThreeWays) {
    Outcome overview = kavi({"--help"});
    EXPECT_EQ(overview.code, 0);
    std::string completion = kavi({"completion", "bash"}).out;
    std::string man = read_file(std::string(KAVI_SOURCE_DIR) + "/tools/kavi/kavi.1");
    ASSERT_FALSE(man.empty());
    for (std::string command :
         {"list", "ping", "stats", "send", "shutdown", "trace", "log", "nodes", "completion"}) {
        EXPECT_TRUE(holds(overview.out, "\n  " + command + " "));
        Outcome help = kavi({command, "--help"});
        EXPECT_EQ(help.code, 0) << command;
        EXPECT_TRUE(help.out.starts_with("usage: kavi " + command)) << help.out;
        EXPECT_EQ(kavi({"help", command}).out, help.out);
        std::set<std::string> options = options_in(help.out);
        EXPECT_TRUE(options.count("--help")) << help.out;
        for (const std::string &option : options) {
            EXPECT_TRUE(holds(completion, option)) << command;
            // roff writes a dash as \-.
            EXPECT_TRUE(holds(man, std::regex_replace(option, std::regex("-"), "\\-"))) << command;
        }
    }
}

TEST(KaviHelp, VersionAndUnknownCommands) {
    Outcome version = kavi({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("kavi \\d+\\.\\d+\\.\\d+\n")))
        << version.out;
    Outcome unknown = kavi({"nonsense"}), none = kavi({});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_EQ(unknown.err, "kavi: unknown command nonsense (kavi --help lists the commands)\n");
    EXPECT_EQ(none.code, 2);
    EXPECT_EQ(none.err, "kavi: missing COMMAND (kavi --help lists the commands)\n");
    EXPECT_EQ(kavi({"help", "nonsense"}).code, 2);
}

TEST(KaviUsage, ErrorsAreOneLineNamingWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"send"}, "kavi send: missing EXIT, the exit to send the command to (1 to 8 characters)"},
        {{"send", "ECHO", "--bogus"}, "kavi send: unknown option --bogus"},
        {{"send", "ECHO", "--timeout"}, "kavi send: --timeout needs a value (SECONDS)"},
        {{"send", "ECHO", "--timeout="}, "kavi send: --timeout needs a value (SECONDS)"},
        {{"send", "ECHO", "--router=yes"}, "kavi send: --router takes no value"},
        {{"send", "ECHO", "ECHO2"}, "kavi send: unexpected argument ECHO2"},
        {{"send", "TOOLONGNAME"}, "kavi send: EXIT takes 1 to 8 characters, not TOOLONGNAME"},
        {{"send", "ECHO", "--timeout=-1"}, "kavi send: --timeout takes seconds above 0, not -1"},
        {{"send", "ECHO", "--set", "exit_timeout"},
         "kavi send: --set takes FIELD=VALUE, not exit_timeout"},
        {{"send", "ECHO", "--set=exit_timeout=x"},
         "kavi send: --set exit_timeout: expects a number that fits the field"},
        {{"trace"},
         "kavi trace: missing FILE, the trace file (KAVZ_TRACE_FILE of the exit program)"},
        {{"trace", "--bogus", "f"}, "kavi trace: unknown option --bogus"},
        {{"trace", "-x", "f"}, "kavi trace: unknown option -x"},
        {{"list", "extra"}, "kavi list: unexpected argument extra"},
        {{"list", "--bogus"}, "kavi list: unknown option --bogus"},
        {{"shutdown", "--json"}, "kavi shutdown: unknown option --json"},
        {{"log", "f", "--site", "x"}, "kavi log: --site takes a number, not x"},
    };
    for (const Case &c : cases) {
        Outcome o = kavi(c.args);
        EXPECT_EQ(o.code, 2) << c.message;
        EXPECT_EQ(o.out, "") << c.message;
        EXPECT_EQ(o.err, c.message + " (kavi " + c.args[0] + " --help for more)\n");
    }
    // An unknown field is answered with the names there are.
    Outcome field = kavi({"send", "ECHO", "--set", "no_such_field=1"});
    EXPECT_EQ(field.code, 2);
    EXPECT_EQ(std::count(field.err.begin(), field.err.end(), '\n'), 1);
    EXPECT_TRUE(holds(field.err,
                      "--set no_such_field: is not a field of the parameter block; the "
                      "fields: command_name, command_string, exit_name,"));
    EXPECT_TRUE(holds(field.err, "resource_QOB_oid"));
}

TEST(KaviUsage, JsonInputIsCheckedBeforeAnythingIsSent) {
    std::string send = kavi_line({"send", "ECHO", "--json-in", "-"});
    Outcome bad = run("echo '{\"command_name\": ' | " + send);
    EXPECT_EQ(bad.code, 2);
    EXPECT_TRUE(holds(bad.err, "kavi send: --json-in -: not a JSON object of fields"));
    Outcome unknown = run("echo '{\"status\": 0, \"colour\": \"red\"}' | " + send);
    EXPECT_EQ(unknown.code, 2);
    EXPECT_TRUE(holds(unknown.err, "--json-in -: colour is not a field"));
    EXPECT_EQ(kavi({"send", "ECHO", "--json-in", make_temp_dir() + "/missing"}).code, 2);
}

TEST(KaviCompletion, ScriptLoadsInBashAndCompletes) {
    Outcome loaded = run("bash -c 'source <(\"" + executable_dir() +
                         "/kavi\" completion bash) && complete -p kavi && "
                         "COMP_WORDS=(kavi send ECHO --ro) COMP_CWORD=3 && _kavi && "
                         "echo \"${COMPREPLY[*]}\" && "
                         "COMP_WORDS=(kavi sh) COMP_CWORD=1 && _kavi && echo \"${COMPREPLY[*]}\"'");
    EXPECT_EQ(loaded.code, 0) << loaded.err;
    EXPECT_EQ(loaded.err, "");
    EXPECT_EQ(loaded.out, "complete -F _kavi kavi\n--router\nshutdown\n");
    EXPECT_EQ(kavi({"completion", "zsh"}).code, 2);
}

TEST(KaviLog, EntriesBecomeTheirSentencesOrJson) {
    std::string file = make_temp_dir() + "/errlog";
    write_file(file,
               "2026-12-06T14:40:02.114Z pid=10702 tid=10703 KAVI KaviInit site=140 code=1 (0x1) "
               "reason=183 (0xb7) item0=4:5c5c2e5c item1=300,cut:00 msg=\"the mailslot of exit "
               "UPPER could not be created: a \\\"quote\\\"\"\n"
               "echo_exit: HELLO\n"
               "2026-12-06T14:40:03.000Z pid=1 tid=2 KAVI VULZINITTRACE site=7 code=87 "
               "(0x57) reason=0 (0x0)\n");
    Outcome text = kavi({"log", file});
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.out,
              "2026-12-06T14:40:02.114Z pid=10702 KaviInit site=140 code=1 reason=183: the "
              "mailslot of exit UPPER could not be created: a \"quote\"\n"
              "echo_exit: HELLO\n"
              "2026-12-06T14:40:03.000Z pid=1 VULZINITTRACE site=7 code=87 reason=0: (no "
              "sentence; kavi log --json shows the data)\n");
    EXPECT_EQ(kavi({"log", file, "--json", "--site=140"}).out,
              "{\"time\": \"2026-12-06T14:40:02.114Z\", \"pid\": 10702, \"tid\": 10703, "
              "\"component\": \"KAVI\", \"function\": \"KaviInit\", \"site\": 140, \"code\": 1, "
              "\"reason\": 183, \"items\": [\"4:5c5c2e5c\", \"300,cut:00\"], \"msg\": \"the "
              "mailslot of exit UPPER could not be created: a \\\"quote\\\"\"}\n");
    EXPECT_EQ(kavi({"log", file, "--site=0"}).out, "") << "a filter passes no other lines";
    EXPECT_EQ(kavi({"log", file + ".missing"}).code, 1);
}

}  // namespace
