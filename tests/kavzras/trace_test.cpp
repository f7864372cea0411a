// trace_test.cpp — trace settings from the environment, records written and read back, and
// records that stay whole under concurrent writers in two processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/platform.h"
#include "services/kavzras/kavzras.h"
#include "services/kavzras/record.h"
#include "tests/support/child_process.h"
#include "tests/support/pages.h"

namespace {

using kavz::ItemState;

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override { plat::env_set("KAVZ_ERRLOG", errlog_.c_str()); }
    // Tracing off again, so a later test in the same process starts from nothing.
    void TearDown() override { init(nullptr, nullptr, nullptr); }

    // A setting not given is empty, which counts as unset.
    VULZ_TRACE_CONTROL *init(const char *mask, const char *level, const char *file) {
        for (auto [name, value] : {std::pair{"KAVZ_TRACE_MASK", mask},
                                   {"KAVZ_TRACE_LEVEL", level},
                                   {"KAVZ_TRACE_FILE", file}})
            plat::env_set(name, value != nullptr ? value : "");
        VULZ_TRACE_CONTROL *control = reinterpret_cast<VULZ_TRACE_CONTROL *>(0x1);
        VULZINITTRACE("KAVI", "", &control);
        return control;
    }
    VULZ_TRACE_CONTROL *init_on() { return init("0x700", nullptr, path_.c_str()); }
    kavz::TraceScan scan() { return kavz::scan_records(contents_ = kavitest::read_file(path_)); }

    // The test's folder, which a child process of the test writes into as well.
    std::string dir_ = kavitest::test_temp_dir(), path_ = dir_ + "/trace.bin",
                errlog_ = dir_ + "/errlog.txt", contents_;
};

TEST(TraceRule, NeedsControlMaskBitAndLevelThree) {
    VULZ_TRACE_CONTROL *none = nullptr, entries{VULZ_MASK_ENTRY, 3}, low{0x700, 2}, all{0x700, 7};
    EXPECT_FALSE(KAVZ_TRACING(none, VULZ_MASK_ENTRY));
    EXPECT_TRUE(KAVZ_TRACING(&entries, VULZ_MASK_ENTRY));
    EXPECT_FALSE(KAVZ_TRACING(&entries, VULZ_MASK_EXIT));
    EXPECT_FALSE(KAVZ_TRACING(&entries, VULZ_MASK_DATA));
    EXPECT_FALSE(KAVZ_TRACING(&low, VULZ_MASK_ENTRY));
    EXPECT_TRUE(KAVZ_TRACING(&all, VULZ_MASK_DATA));
}

TEST_F(TraceTest, SettingsTurnTracingOnOrOffAndBadOnesAreLogged) {
    // The mask is hexadecimal or decimal, and the level defaults to three.
    for (auto [mask, level, want_mask, want_level] :
         {std::tuple{"0x700", (const char *)nullptr, 0x700u, 3u},
          {"512", "5", 0x200u, 5u},
          {"0XfFfFfFfF", "0x2", 0xFFFFFFFFu, 2u}}) {
        VULZ_TRACE_CONTROL *control = init(mask, level, path_.c_str());
        ASSERT_NE(control, nullptr) << mask;
        EXPECT_EQ(control->mask, want_mask);
        EXPECT_EQ(control->level, want_level);
    }
    // Off without a mask, a zero mask or a file; nothing is written and no file made.
    std::remove(path_.c_str());
    EXPECT_EQ(init(nullptr, "3", path_.c_str()), nullptr);
    EXPECT_EQ(init("", "3", path_.c_str()), nullptr);
    EXPECT_EQ(init("0", "3", path_.c_str()), nullptr);
    VULZTRACE("KaviInit", 1, VULZ_KIND_ENTRY, 3, 0);
    VULZFLUSHTRACE();
    EXPECT_FALSE(std::filesystem::exists(path_)) << "a disabled trace creates no file";
    EXPECT_EQ(init("0x700", "3", nullptr), nullptr);
    EXPECT_EQ(init("0x700", "3", ""), nullptr);
    EXPECT_EQ(kavitest::read_file(errlog_), "");
    // Bad settings turn tracing off and are logged.
    for (const char *mask : {"0x7g0", "7 ", "-1", "0x", "4294967296", "0x100000000"})
        EXPECT_EQ(init(mask, nullptr, path_.c_str()), nullptr) << mask;
    EXPECT_EQ(init("0x700", "three", path_.c_str()), nullptr);
    EXPECT_EQ(init("0x700", nullptr, (dir_ + "/no/such/dir/trace.bin").c_str()), nullptr);
    std::string log = kavitest::read_file(errlog_);
    EXPECT_NE(
        log.find(" KAVI VULZINITTRACE site=1 code=87 (0x57) reason=0 (0x0) item0=5:3078376730\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find(" VULZINITTRACE site=2 code=87 "), std::string::npos);
    EXPECT_NE(log.find(" VULZINITTRACE site=3 code=2 "), std::string::npos);
    // The five later bad masks are entries of the first one's kind within a second: counted.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
}

TEST_F(TraceTest, ControlKeptFromEarlierCallReadsNothingEnabledOnceOff) {
    VULZ_TRACE_CONTROL *kept = init_on();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(init(nullptr, nullptr, nullptr), nullptr);
    EXPECT_FALSE(KAVZ_TRACING(kept, VULZ_MASK_ENTRY));
    VULZTRACE("Late", 1, VULZ_KIND_ENTRY, 3, 0);
    EXPECT_EQ(scan().records.size(), 0u);
}

uint64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(TraceTest, RecordIsWrittenAndReadBackByteExact) {
    ASSERT_NE(init_on(), nullptr);
    uint32_t value = 0xA1B2C3D4;
    std::string big(5000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    uint64_t before = now_ns();
    testing::internal::CaptureStderr();
    VULZTRACE("KaviInit", 1234, VULZ_KIND_EXIT, 3, 3, &value, 4u, "ABC     ", 8u, big.data(),
              static_cast<uint32_t>(big.size()));
    uint64_t after = now_ns();
    VULZFLUSHTRACE();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a record written is no failure";

    kavz::TraceScan s = scan();
    ASSERT_EQ(s.records.size(), 1u);
    EXPECT_EQ(s.skipped, 0u);
    EXPECT_FALSE(s.truncated_tail);
    uint64_t time = s.records[0].time_ns;
    EXPECT_GE(time, before);
    EXPECT_LE(time, after);
    uint32_t pid = plat::process_id(), kind = VULZ_KIND_EXIT;
    kavz::TraceRecord r{pid, time, plat::thread_id(), 1234, kind, 3, "KAVI", "KaviInit", 3, 3, {}};
    r.items[0] = {4, ItemState::whole, std::string_view(reinterpret_cast<char *>(&value), 4)};
    r.items[1] = {8, ItemState::whole, "ABC     "};
    r.items[2] = {5000, ItemState::cut, std::string_view(big).substr(0, kavz::ITEM_MAX)};
    std::string expected(kavz::encoded_size(r), '\0');
    kavz::encode(r, reinterpret_cast<uint8_t *>(expected.data()));
    EXPECT_EQ(expected, contents_);
}

TEST_F(TraceTest, BadItemsNamesAndNoMemoryAreRecordedWithoutCrashing) {
    ASSERT_NE(init_on(), nullptr);
    // A name running into an unreadable page ends there; so does an item in it.
    const kavitest::TestPages pages = kavitest::map_test_pages();
    ASSERT_NE(pages.base, nullptr);
    const size_t page = pages.page;
    char *area = pages.base + page;  // a readable page, then one that is not
    memset(area, 'N', page);
    char x = 'x';
    VULZTRACE(nullptr, 1, VULZ_KIND_DATA, 3, 10, nullptr, 8u, area + page, 16u, nullptr, 0u, &x, 1u,
              &x, 1u, &x, 1u, &x, 1u, &x, 1u, &x, 1u, &x, 1u);
    VULZTRACE(area + page - 3, 2, VULZ_KIND_DATA, 3, 0);
    kavitest::unmap_test_pages(pages);
    // A record without memory is lost alone.
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    VULZTRACE("Lost", 1, VULZ_KIND_ENTRY, 3, 0);
    VULZTRACE("Kept", 2, VULZ_KIND_ENTRY, 3, 0);
    plat::fault_clear();

    kavz::TraceScan s = scan();
    ASSERT_EQ(s.records.size(), 3u);
    const kavz::TraceRecord &r = s.records[0];
    EXPECT_EQ(r.function, "");
    EXPECT_EQ(r.items_passed, 10u);
    ASSERT_EQ(r.item_count, kavz::ITEMS_MAX);
    EXPECT_EQ(r.items[0].state, ItemState::unreadable);
    EXPECT_EQ(r.items[0].length, 8u);
    EXPECT_EQ(r.items[1].state, ItemState::unreadable);
    EXPECT_EQ(r.items[2].state, ItemState::whole);
    EXPECT_EQ(r.items[2].bytes, "");
    EXPECT_EQ(r.items[7].bytes, "x");
    EXPECT_EQ(s.records[1].function, "NNN");
    EXPECT_EQ(s.records[2].function, "Kept");
}

constexpr uint32_t WRITERS = 4, RECORDS = 2000;

// Sizes vary from 1 to 3,000 bytes so that interleaved writes could not go unnoticed.
size_t payload_size(uint32_t seq, uint32_t writer) {
    return 1 + (seq * 37 + writer * 101) % 3000;
}

void run_writers() {
    std::vector<std::thread> threads;
    for (uint32_t w = 0; w < WRITERS; ++w) {
        threads.emplace_back([w] {
            for (uint32_t seq = 0; seq < RECORDS; ++seq) {
                std::string payload(payload_size(seq, w), static_cast<char>('a' + w));
                VULZTRACE("Writer", w, VULZ_KIND_DATA, 3, 2, &seq, 4u, payload.data(),
                          static_cast<uint32_t>(payload.size()));
            }
        });
    }
    for (auto &t : threads) t.join();
}

TEST_F(TraceTest, ConcurrentWritersInTwoProcessesNeverInterleave) {
    if (kavitest::under_wine())
        GTEST_SKIP() << "under wine, appends through two handles of one file overwrite each "
                        "other; Windows appends each write whole";
    // Forked before any thread of the test exists; each process opens the file itself.
    kavitest::Child other = kavitest::Child::fork_run([this] {
        if (init_on() == nullptr) return 1;
        run_writers();
        return 0;
    });
    ASSERT_NE(init_on(), nullptr);
    run_writers();
    ASSERT_EQ(other.wait(60000), 0);

    kavz::TraceScan s = scan();
    EXPECT_EQ(s.skipped, 0u);
    EXPECT_FALSE(s.truncated_tail);
    ASSERT_EQ(s.records.size(), 2u * WRITERS * RECORDS);
    std::map<std::pair<uint32_t, uint64_t>, uint32_t> next_seq;  // (pid, thread) -> seq
    for (const kavz::TraceRecord &r : s.records) {
        ASSERT_EQ(r.item_count, 2u);
        uint32_t seq;
        ASSERT_EQ(r.items[0].bytes.size(), 4u);
        memcpy(&seq, r.items[0].bytes.data(), 4);
        ASSERT_EQ(seq, (next_seq[{r.pid, r.thread}]++)) << "records of one thread keep their order";
        ASSERT_EQ(r.items[1].bytes, std::string(payload_size(seq, r.line), 'a' + r.line));
    }
    EXPECT_EQ(next_seq.size(), 2u * WRITERS);
}

}  // namespace
