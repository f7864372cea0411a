// kavi_trace_test.cpp — `kavi trace` over the trace that a real command between two exits
// leaves, and over the same file damaged, cut short, and growing while it is followed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

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
    size_t begin = text.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

// A trace of a real command: written by a child whose environment turns tracing on before the
// library loads. Returns the file's bytes; *starts gets where each record begins.
std::string real_trace(std::vector<size_t> *starts) {
    std::string dir = make_temp_dir();
    Child child = Child::spawn(
        {"/proc/self/exe", "--gtest_filter=KaviTraceChild.DISABLED_CommandBetweenTwoExits",
         "--gtest_also_run_disabled_tests"},
        {"KAVZ_TRACE_FILE=" + dir + "/trace", "KAVZ_TRACE_MASK=0x700", "KAVZ_TRACE_LEVEL=3",
         "KAVZ_ERRLOG=" + dir + "/errlog"},
        dir + "/stdout");
    EXPECT_EQ(child.wait(30000), 0) << read_file(dir + "/stdout");
    std::string trace = read_file(dir + "/trace");
    for (size_t at = 0; at < trace.size();) {
        kavz::TraceRecord r;
        size_t used = 0;
        if (kavz::decode_record(std::string_view(trace).substr(at), &r, &used) !=
            kavz::Decoded::record)
            break;
        starts->push_back(at);
        at += used;
    }
    return trace;
}

}  // namespace

TEST(KaviTraceChild, DISABLED_CommandBetweenTwoExits) {
    ASSERT_EQ(KaviInit("caller", answer_seven, 0), VULE_OK);
    ASSERT_EQ(KaviInit("echo", answer_seven, 0), VULE_OK);
    _VULE_PARAMETERS32 b{};
    char command[] = "ping";
    char display[] = "Disk \"C\"";
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

TEST(KaviTrace, DecodesACommandBetweenTwoExitsByName) {
    std::vector<size_t> starts;
    std::string dir = make_temp_dir();
    write_file(dir + "/trace", real_trace(&starts));
    ASSERT_GT(starts.size(), 10u);

    Outcome text = kavi({"trace", dir + "/trace"});
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.err, "");
    EXPECT_EQ(count_lines(text.out), starts.size());
    std::string send = line_with(text.out, "KaviSend site=216 entry");
    EXPECT_TRUE(holds(send, "calling_exit=\"CALLER\" target_exit=\"ECHO\""));
    // The block by field name: the traced image carries no pointers, so no texts.
    EXPECT_TRUE(holds(send, "block={exit_name=\"\" exit_executable_name=\"\" exit_timeout=30 "));
    EXPECT_NE(line_with(text.out, "KaviSend site=1202 exit").find("result=7 "), std::string::npos);
    // The message the target's queue thread received, and the block its elements make.
    std::string received = line_with(text.out, "VuleQueThread site=450 data");
    EXPECT_TRUE(holds(received, "message={total_length="));
    EXPECT_TRUE(holds(received, "origin_name=\"CALLER\""));
    EXPECT_TRUE(holds(received, "command_name=\"ping\""));
    EXPECT_TRUE(holds(received, "display_name=\"Disk \\\"C\\\"\""));
    std::string record = line_with(text.out, "VuleSingleThreadPost site=98 entry");
    EXPECT_TRUE(holds(record, "record={exit_function=0x"));
    EXPECT_TRUE(holds(record, "destination_name=\"ECHO\" origin_name=\"CALLER\""));
    EXPECT_TRUE(holds(record, "native_block={exit_name=\"ECHO\""));
    std::string odd = line_with(text.out, "site=7 data");
    std::string hex_z;
    for (int i = 0; i < 64; ++i) hex_z += "7a";
    EXPECT_TRUE(holds(odd,
                      "\"Odd\\x0aname\" site=7 data item0=4:01020304 item1=(unreadable, 8 bytes) "
                      "item2=5000:" +
                          hex_z + "...(cut, 5000 bytes)"));

    Outcome json = kavi({"trace", "--json", dir + "/trace"});
    EXPECT_EQ(json.code, 0);
    EXPECT_EQ(count_lines(json.out), starts.size());
    for (size_t at = 0; at < json.out.size(); at = json.out.find('\n', at) + 1) {
        EXPECT_EQ(json.out[at], '{');
        EXPECT_EQ(json.out[json.out.find('\n', at) - 1], '}');
    }
    std::string block = line_with(json.out, "\"function\": \"KaviSend\", \"site\": 216");
    EXPECT_TRUE(
        holds(block,
              "{\"name\": \"block\", \"length\": 338, \"state\": \"whole\", \"value\": "
              "{\"exit_name\": \"\", \"exit_executable_name\": \"\", \"exit_timeout\": 30, "));
    EXPECT_TRUE(holds(json.out, "\"display_name\": \"Disk \\\"C\\\"\""));
    EXPECT_TRUE(holds(json.out, "\"function\": \"Odd\\u000aname\""));
    EXPECT_TRUE(holds(json.out, "{\"name\": \"item1\", \"length\": 8, \"state\": \"unreadable\"}"));
}

// A cut end gives the records before it; damage in the middle is skipped and the rest recovered.
TEST(KaviTrace, CutAndDamagedFilesGiveWhatIsIntactAndFail) {
    std::vector<size_t> starts;
    std::string trace = real_trace(&starts);
    ASSERT_GT(starts.size(), 5u);
    std::string dir = make_temp_dir();
    write_file(dir + "/whole", trace);
    Outcome whole = kavi({"trace", dir + "/whole"});

    write_file(dir + "/cut", trace.substr(0, trace.size() - 10));
    Outcome cut = kavi({"trace", dir + "/cut"});
    EXPECT_EQ(cut.code, 1);
    EXPECT_EQ(cut.out, whole.out.substr(0, whole.out.rfind('\n', whole.out.size() - 2) + 1));
    EXPECT_EQ(cut.err, "kavi trace: " + dir + "/cut: truncated at offset " +
                           std::to_string(starts.back()) + " (the last " +
                           std::to_string(trace.size() - 10 - starts.back()) +
                           " bytes are an incomplete record)\n");

    // Garbage between two records: nothing is lost.
    std::string garbage = trace;
    garbage.insert(starts[2], std::string(100, 'x'));
    write_file(dir + "/garbage", garbage);
    Outcome g = kavi({"trace", dir + "/garbage"});
    EXPECT_EQ(g.code, 1);
    EXPECT_EQ(g.out, whole.out);
    EXPECT_EQ(g.err, "kavi trace: " + dir + "/garbage: damaged record at offset " +
                         std::to_string(starts[2]) + " (100 bytes skipped)\nkavi trace: " + dir +
                         "/garbage: " + std::to_string(starts.size() - 2) +
                         " records after the damage recovered and printed\n");

    // A changed byte inside a record: that record alone is lost.
    std::string flipped = trace;
    flipped[starts[3] + 20] ^= 0x40;
    write_file(dir + "/flipped", flipped);
    Outcome f = kavi({"trace", "--json", dir + "/flipped"});
    EXPECT_EQ(f.code, 1);
    EXPECT_EQ(count_lines(f.out), starts.size() - 1);
    EXPECT_TRUE(holds(f.err, "damaged record at offset " + std::to_string(starts[3]) + " (" +
                                 std::to_string(starts[4] - starts[3]) + " bytes skipped)"));
}

TEST(KaviTrace, FollowPrintsRecordsAsTheFileGrows) {
    std::vector<size_t> starts;
    std::string trace = real_trace(&starts);
    ASSERT_GT(starts.size(), 4u);
    std::string dir = make_temp_dir();
    write_file(dir + "/trace", trace.substr(0, starts[3]));
    Child follower = start_kavi({"trace", "--follow", dir + "/trace"}, dir);
    auto lines = [&] { return count_lines(read_file(dir + "/out")); };
    EXPECT_TRUE(eventually([&] { return lines() == 3; }, 5000));
    // Half a record, seen by at least one poll, is not damage: it is still arriving.
    size_t half = starts[3] + (starts[4] - starts[3]) / 2;
    write_file(dir + "/trace", trace.substr(starts[3], half - starts[3]), true);
    usleep(500000);
    EXPECT_EQ(lines(), 3u);
    write_file(dir + "/trace", trace.substr(half), true);
    EXPECT_TRUE(eventually([&] { return lines() == starts.size(); }, 5000)) << lines();
    follower.kill(SIGTERM);
    EXPECT_EQ(follower.wait(5000), 0);
    EXPECT_EQ(read_file(dir + "/err"), "");
}

TEST(KaviTrace, UsageAndUnreadableFiles) {
    EXPECT_EQ(kavi({"trace"}).code, 2);
    EXPECT_EQ(kavi({"trace", "--bogus", "f"}).code, 2);
    Outcome help = kavi({"trace", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(holds(help.out, "usage: kavi trace FILE"));
    std::string missing = make_temp_dir() + "/missing";
    Outcome none = kavi({"trace", missing});
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.err, "kavi trace: " + missing + ": No such file or directory\n");
    std::string empty = make_temp_dir() + "/empty";
    write_file(empty, "");
    Outcome nothing = kavi({"trace", empty});
    EXPECT_EQ(nothing.code, 0);
    EXPECT_EQ(nothing.out + nothing.err, "");
}
