// errlog_test.cpp — error-log lines: their exact format, the hex dump's limits, where they go,
// whole lines under concurrent writers; and the pointer check.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/platform.h"
#include "services/kavzras/kavzras.h"
#include "tests/support/child_process.h"

namespace {

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    EXPECT_EQ(at, text.size()) << "the log ends with a whole line";
    return lines;
}

// The line after its time stamp, which is checked to be ISO-8601 UTC within seconds of now.
std::string after_time_stamp(const std::string &line) {
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)");
    std::smatch m;
    if (!std::regex_search(line, m, stamp)) return "no time stamp: " + line;
    using namespace std::chrono;
    int y = 0;
    unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::sscanf(line.c_str(), "%d-%u-%uT%u:%u:%u", &y, &mo, &d, &h, &mi, &s);
    const sys_seconds at =
        sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
    EXPECT_LE(std::llabs((floor<seconds>(system_clock::now()) - at).count()), 5) << line;
    return line.substr(m.length());
}

std::string prefix() {
    return " pid=" + std::to_string(plat::process_id()) +
           " tid=" + std::to_string(plat::thread_id());
}

std::string hex_of(const std::string &bytes) {
    std::string out;
    char pair[3];
    for (unsigned char c : bytes) out += (snprintf(pair, sizeof pair, "%02x", c), pair);
    return out;
}

class ErrorLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::env_set("KAVZ_ERRLOG", path_.c_str());
        plat::env_set("KAVZ_TRACE_FILE", "");  // empty counts as unset
        VULZ_TRACE_CONTROL *control = nullptr;
        VULZINITTRACE("KAVI", "", &control);
    }
    std::vector<std::string> lines() { return lines_of(kavitest::read_file(path_)); }

    // The test's folder, which its child processes write into as well.
    std::string dir_ = kavitest::test_temp_dir(), path_ = dir_ + "/errlog.txt";
};

// One line per call; a name stays one field whatever it holds; the longest line is whole.
TEST_F(ErrorLogTest, LineFormatIsExact) {
    uint32_t value = 7;
    std::string block(300, '\0'), function(300, 'F'), item(300, 'A');
    for (int i = 0; i < 300; ++i) block[i] = static_cast<char>(i);
    VULZLOGERROR("KaviInit", 7, 0xFFFFFFFF, 12, 3, 4, &value, 4u, block.data(), 300u, nullptr, 8u,
                 &value, 0u);
    VULZLOGERROR("Bad name\n\x80", 0x8001, 13, 1, 3, 0);
    VULZLOGERROR(nullptr, 2, 0, 2, 3, 0);
    const char *d = item.data();
    VULZLOGERROR(function.c_str(), UINT32_MAX, UINT32_MAX, UINT32_MAX, 3, 10, d, 300u, d, 300u, d,
                 300u, d, 300u, d, 300u, d, 300u, d, 300u, d, 300u, d, 300u, d, 300u);
    std::string longest = prefix() + " KAVI " + std::string(255, 'F') +
                          " site=4294967295 code=4294967295 (0xffffffff)" +
                          " reason=4294967295 (0xffffffff)";
    for (int i = 0; i < 8; ++i)
        longest += " item" + std::to_string(i) + "=300,cut:" + hex_of(item.substr(0, 256));

    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(after_time_stamp(got[0]),
              prefix() + " KAVI KaviInit site=12 code=7 (0x7) reason=4294967295 (0xffffffff)" +
                  " item0=4:07000000 item1=300,cut:" + hex_of(block.substr(0, 256)) +
                  " item2=8,unreadable item3=0:");
    EXPECT_EQ(after_time_stamp(got[1]),
              prefix() + " KAVI Bad?name?? site=1 code=32769 (0x8001) reason=13 (0xd)");
    EXPECT_EQ(after_time_stamp(got[2]), prefix() + " KAVI - site=2 code=2 (0x2) reason=0 (0x0)");
    EXPECT_EQ(after_time_stamp(got[3]), longest + " more=2");
}

// Runs `entries` entries of distinct kinds in a child whose standard error goes to a file, and
// returns that file's lines.
std::vector<std::string> logged_to_stderr(const std::string &dir, const char *errlog,
                                          int entries = 2) {
    std::string out = dir + "/stderr.txt";
    kavitest::Child child = kavitest::Child::fork_run([&] {
        if (!kavitest::stderr_to_file(out)) return 1;
        plat::env_set("KAVZ_ERRLOG", errlog != nullptr ? errlog : "");
        for (int i = 0; i < entries; ++i) VULZLOGERROR("ToStderr", 5, 0, 9 + i, 3, 0);
        return 0;
    });
    EXPECT_EQ(child.wait(10000), 0);
    return lines_of(kavitest::read_file(out));
}

// A log that cannot be opened is said so once, in words; its entries go to standard error.
TEST_F(ErrorLogTest, GoesToStandardErrorWhenUnsetOrUnopenable) {
    std::string missing = dir_ + "/no/such/dir/errlog.txt";
    for (const char *errlog : {static_cast<const char *>(nullptr), "", missing.c_str()}) {
        std::vector<std::string> got = logged_to_stderr(dir_, errlog);
        bool reported = errlog != nullptr && *errlog != '\0';
        ASSERT_EQ(got.size(), reported ? 3u : 2u);
        if (reported) {
            EXPECT_EQ(got[0], "kavzras: cannot open the error log " + missing +
                                  ": not found; its entries go to standard error");
        }
        EXPECT_NE(got[reported].find(" KAVI ToStderr site=9 code=5 (0x5) reason=0 (0x0)"),
                  std::string::npos)
            << got[reported];
        EXPECT_NE(got[reported + 1].find(" site=10 "), std::string::npos);
    }
    EXPECT_EQ(kavitest::read_file(path_), "");
}

// A full disk loses the entries, but says so once, and logging goes on.
TEST_F(ErrorLogTest, FullDiskIsSaidOnce) {
    const std::string full = kavitest::full_device();
    if (full.empty()) GTEST_SKIP() << "the system has no device that is always full";
    EXPECT_EQ(logged_to_stderr(dir_, full.c_str(), 3),
              std::vector<std::string>{"kavzras: cannot write the error log " + full +
                                       ": No space left on device; entries are lost while it "
                                       "cannot be written"});
}

// Logs carry what commands carry: the owner's alone, and never written through a link that
// someone else may have planted.
TEST_F(ErrorLogTest, FileIsOwnerOnlyAndNeverOpenedThroughALink) {
    if (!kavitest::posix_files())
        GTEST_SKIP() << "the owner's alone is a file's access list here, not its mode bits";
    namespace fs = std::filesystem;
    VULZLOGERROR("Private", 1, 0, 1, 3, 0);
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    std::string target = dir_ + "/target.txt", link = dir_ + "/link.txt";
    std::ofstream(target) << "untouched\n";
    fs::create_symlink(target, link);
    std::vector<std::string> got = logged_to_stderr(dir_, link.c_str());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[0].starts_with("kavzras: cannot open the error log " + link + ": ")) << got[0];
    EXPECT_EQ(kavitest::read_file(target), "untouched\n");
}

// A flood of one kind writes its first entry and then how many more came within the second,
// when the next one comes after it or when the process ends; other kinds are written as usual.
TEST_F(ErrorLogTest, FloodOfOneKindIsWrittenOnceThenCounted) {
    kavitest::Child child = kavitest::Child::fork_run([] {
        for (int i = 0; i < 1000; ++i) VULZLOGERROR("Flood", 7, static_cast<uint32_t>(i), 3, 3, 0);
        VULZLOGERROR("Other", 8, 0, 4, 3, 0);
        VULZLOGERROR("Flood", 7, 0, 5, 3, 0);  // another call site is another kind
        plat::sleep_ms(1100);
        VULZLOGERROR("Flood", 7, 0, 3, 3, 0);  // after the second: the count, then the entry
        VULZLOGERROR("Flood", 7, 0, 6, 3, 0);
        VULZLOGERROR("Flood", 7, 0, 6, 3, 0);  // counted until the process ends
        exit(0);                               // as a program ends: the exit handlers run
        return 0;
    });
    ASSERT_EQ(child.wait(10000), 0);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 7u);
    const char *expected[] = {
        " KAVI Flood site=3 code=7 (0x7) reason=0 ",
        " KAVI Other site=4 ",
        " KAVI Flood site=5 ",
        " KAVI Flood site=3 code=7 (0x7) repeated: 999 more like it within a second",
        " KAVI Flood site=3 code=7 (0x7) reason=0 ",
        " KAVI Flood site=6 ",
        " KAVI Flood site=6 code=7 (0x7) repeated: 1 more like it"};
    for (int i = 0; i < 7; ++i) EXPECT_NE(got[i].find(expected[i]), std::string::npos) << got[i];
}

// Each entry opens the log anew, so the writers append through handles of their own.
TEST_F(ErrorLogTest, ConcurrentLinesStayWhole) {
    if (kavitest::under_wine())
        GTEST_SKIP() << "under wine, appends through two handles of one file overwrite each "
                        "other; Windows appends each write whole";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            std::string data(256, static_cast<char>('a' + t));
            for (uint32_t i = 0; i < 200; ++i)
                VULZLOGERROR("Writer", t, 0, i, 3, 2, data.data(), 256u, data.data(), 256u);
        });
    }
    for (auto &th : threads) th.join();
    static const std::regex line(
        R"(^\S+ pid=\d+ tid=\d+ KAVI Writer site=\d+ code=(\d) \(0x\d\) reason=0 \(0x0\))"
        R"( item0=256:((?:[0-9a-f]{2}){256}) item1=256:\2$)");
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 800u);
    for (const std::string &l : got) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        EXPECT_EQ(m[2].str().substr(0, 2), std::to_string(61 + std::stoi(m[1])));
    }
}

// The check itself is the platform's; this is the exported form of it.
TEST(CheckPointer, NullAndValidAreTold) {
    uint32_t local = 1;
    EXPECT_EQ(VULZCHKPOINTER(nullptr, 1), 0);
    EXPECT_EQ(VULZCHKPOINTER(&local, 4), 1);
}

}  // namespace
