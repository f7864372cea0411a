// kavi_trace_test.cpp — `kavi trace` over the trace that a real command between two exits
// leaves, and over the same file damaged, cut short, and growing while it is followed.
#include <signal.h>
#include <unistd.h>

#include "kaviexit.h"
#include "services/kavzras/kavzras.h"
#include "services/kavzras/record.h"
#include "tests/tools/kavi_run.h"

using namespace kavitest;

namespace {

uint32_t KAVI_CALL answer_seven(_VULE_PARAMETERS32 *block) {
    block->resource_type = 4242;
    return 7;
}

std::string line_with(const std::string &text, const std::string &part) {
    size_t at = text.find(part);
    if (at == std::string::npos) return "";
    size_t begin = text.rfind('\n', at) + 1;  // npos + 1 is the start
    return text.substr(begin, text.find('\n', at) - begin);
}

size_t lines_in(const std::string &text) {
    return std::count(text.begin(), text.end(), '\n');
}

TEST(KaviTraceChild, DISABLED_CommandBetweenTwoExits) {
    ASSERT_EQ(KaviInit("caller", answer_seven, 0), VULE_OK);
    ASSERT_EQ(KaviInit("echo", answer_seven, 0), VULE_OK);
    char command[] = "ping", display[] = "Disk \"C\"";
    _VULE_PARAMETERS32 b{};
    b.command_name = command;
    b.display_name = display;
    b.exit_timeout = 30;
    EXPECT_EQ(KaviSend("CALLER  ", "ECHO", " ", &b), 7u);
    EXPECT_EQ(KaviTerminate("echo"), 0u);
    EXPECT_EQ(KaviTerminate("caller"), 0u);
    // A record of another writer: a name to escape, an item of no known form, an unreadable
    // one and one too long to record whole.
    static const uint8_t small[4] = {1, 2, 3, 4};
    static const std::string big(5000, 'z');
    VULZTRACE("Odd\nname", 7, VULZ_KIND_DATA, VULZ_LEVEL, 3, small, 4u, nullptr, 8u, big.data(),
              5000u);
}

// The trace of a real command, written in dir/trace by a child whose environment turns tracing
// on before the library loads; returns where each record begins.
std::vector<size_t> real_trace(const std::string &dir) {
    Child child = Child::spawn(
        {"/proc/self/exe", "--gtest_filter=KaviTraceChild.DISABLED_CommandBetweenTwoExits",
         "--gtest_also_run_disabled_tests"},
        {"KAVZ_TRACE_FILE=" + dir + "/trace", "KAVZ_TRACE_MASK=0x700", "KAVZ_TRACE_LEVEL=3",
         "KAVZ_ERRLOG=" + dir + "/errlog"},
        dir + "/stdout");
    EXPECT_EQ(child.wait(30000), 0) << read_file(dir + "/stdout");
    std::string trace = read_file(dir + "/trace");
    std::vector<size_t> starts;
    kavz::TraceRecord r;
    for (size_t at = 0, used = 0; kavz::decode_record(std::string_view(trace).substr(at), &r,
                                                      &used) == kavz::Decoded::record;
         at += used)
        starts.push_back(at);
    return starts;
}

TEST(KaviTrace, DecodesACommandBetweenTwoExitsByName) {
    std::string dir = make_temp_dir();
    std::vector<size_t> starts = real_trace(dir);
    ASSERT_GT(starts.size(), 10u);

    Outcome text = kavi({"trace", dir + "/trace"});
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.err, "");
    EXPECT_EQ(lines_in(text.out), starts.size());
    std::string send = line_with(text.out, "KaviSend site=216 entry");
    EXPECT_TRUE(holds(send, "calling_exit=\"CALLER\" target_exit=\"ECHO\""));
    // The block by field name: the traced image carries no pointers, so no texts.
    EXPECT_TRUE(holds(send, "block={exit_name=\"\" exit_executable_name=\"\" exit_timeout=30 "));
    EXPECT_TRUE(holds(line_with(text.out, "KaviSend site=1202 exit"), "result=7 "));
    // The message the target's queue thread received, and the block its elements make.
    std::string received = line_with(text.out, "VuleQueThread site=450 data");
    for (const char *part : {"message={total_length=", "origin_name=\"CALLER\"",
                             "command_name=\"ping\"", "display_name=\"Disk \\\"C\\\"\""})
        EXPECT_TRUE(holds(received, part));
    std::string record = line_with(text.out, "VuleSingleThreadPost site=98 entry");
    for (const char *part :
         {"record={exit_function=0x", "destination_name=\"ECHO\" origin_name=\"CALLER\"",
          "native_block={exit_name=\"ECHO\""})
        EXPECT_TRUE(holds(record, part));
    std::string hex_z;
    for (int i = 0; i < 64; ++i) hex_z += "7a";
    EXPECT_TRUE(holds(line_with(text.out, "site=7 data"),
                      "\"Odd\\x0aname\" site=7 data item0=4:01020304 item1=(unreadable, 8 bytes) "
                      "item2=5000:" +
                          hex_z + "...(cut, 5000 bytes)"));

    Outcome json = kavi({"trace", "--json", dir + "/trace"});
    EXPECT_EQ(json.code, 0);
    EXPECT_EQ(lines_in(json.out), starts.size());
    EXPECT_TRUE(holds(json.out, "\"display_name\": \"Disk \\\"C\\\"\""));
    EXPECT_TRUE(holds(json.out, "\"function\": \"Odd\\u000aname\""));
    EXPECT_TRUE(holds(json.out, "{\"name\": \"item1\", \"length\": 8, \"state\": \"unreadable\"}"));
}

// What is intact is printed and the damage reported, and kavi fails; a missing file fails, an
// empty one is an empty trace.
TEST(KaviTrace, DamagedCutMissingAndEmptyFiles) {
    std::string dir = make_temp_dir();
    std::vector<size_t> starts = real_trace(dir);
    ASSERT_GT(starts.size(), 5u);
    std::string trace = read_file(dir + "/trace");
    Outcome whole = kavi({"trace", dir + "/trace"});
    std::string damaged = trace.substr(0, trace.size() - 10);
    damaged.insert(starts[2], std::string(100, 'x'));
    write_file(dir + "/damaged", damaged);
    Outcome d = kavi({"trace", dir + "/damaged"});
    EXPECT_EQ(d.code, 1);
    EXPECT_EQ(d.out, whole.out.substr(0, whole.out.rfind('\n', whole.out.size() - 2) + 1));
    EXPECT_EQ(lines_in(d.err), 3u) << d.err;
    EXPECT_TRUE(holds(d.err, "kavi trace: " + dir + "/damaged: damaged record at offset " +
                                 std::to_string(starts[2]) + " (100 bytes skipped)\n"));

    Outcome none = kavi({"trace", dir + "/missing"});
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.err, "kavi trace: " + dir + "/missing: No such file or directory\n");
    write_file(dir + "/empty", "");
    Outcome nothing = kavi({"trace", dir + "/empty"});
    EXPECT_EQ(nothing.code, 0);
    EXPECT_EQ(nothing.out + nothing.err, "");
}

TEST(KaviTrace, FollowPrintsRecordsAsTheFileGrows) {
    std::string dir = make_temp_dir();
    std::vector<size_t> starts = real_trace(dir);
    ASSERT_GT(starts.size(), 4u);
    std::string trace = read_file(dir + "/trace");
    write_file(dir + "/follow", trace.substr(0, starts[3]));
    Child follower = start_shell(kavi_line({"trace", "--follow", dir + "/follow"}), dir);
    auto lines = [&] { return lines_in(read_file(dir + "/out")); };
    EXPECT_TRUE(eventually([&] { return lines() == 3; }, 5000));
    // Half a record, seen by at least one poll, is not damage: it is still arriving.
    size_t half = starts[3] + (starts[4] - starts[3]) / 2;
    write_file(dir + "/follow", trace.substr(starts[3], half - starts[3]), true);
    usleep(500000);
    EXPECT_EQ(lines(), 3u);
    write_file(dir + "/follow", trace.substr(half), true);
    EXPECT_TRUE(eventually([&] { return lines() == starts.size(); }, 5000)) << lines();
    follower.kill(SIGTERM);
    EXPECT_EQ(follower.wait(5000), 0);
    EXPECT_EQ(read_file(dir + "/err"), "");
}

}  // namespace
