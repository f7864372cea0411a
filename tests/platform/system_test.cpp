// system_test.cpp — pointer readability against real mappings, upper-casing, memory, threads and
// the fault seam.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <thread>

#include "platform/common/fault.h"
#include "platform/platform.h"
#include "tests/support/child_process.h"
#include "tests/support/pages.h"

namespace {

using namespace plat;
using kavitest::Child;

// One bad range, alone or among many (more page probes than one request carries, the bad one
// first or last), makes the answer false; a partly readable range is not readable.
TEST(PointerReadable, AnswersForEachKindOfRangeAloneAndTogether) {
    const kavitest::TestPages pages = kavitest::map_test_pages();  // readable, readable, none,
    ASSERT_NE(pages.base, nullptr);                                // unmapped
    char *const base = pages.base;
    const size_t page = pages.page;
    std::vector<char> big(3 * 1024 * 1024 + 7);
    const std::pair<ReadRange, bool> cases[] = {
        {{base, 1}, true},
        {{base, 2 * page}, true},
        {{base + 2 * page - 1, 1}, true},
        {{base + 2 * page, 0}, true},
        {{big.data(), big.size()}, true},
        {{base + 2 * page, 1}, false},
        {{base + 3 * page, 1}, false},
        {{base + 2 * page - 1, 2}, false},
        {{base, 3 * page}, false},
        {{base + page + 10, 2 * page + 10}, false},
        {{nullptr, 0}, false},
        {{nullptr, 1}, false},
        {{reinterpret_cast<void *>(UINTPTR_MAX - 15), 1}, false},
        {{reinterpret_cast<void *>(static_cast<uintptr_t>(0xffff800000000000ULL)), 8}, false},
        {{base, SIZE_MAX}, false}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto &[range, readable] = cases[i];
        EXPECT_EQ(pointer_readable(range.p, range.len), readable) << "case " << i;
        std::vector<ReadRange> ranges(100, ReadRange{base, 2 * page});
        ranges.push_back(range);
        EXPECT_EQ(pointers_readable(ranges.data(), ranges.size()), readable) << i;
        std::swap(ranges.front(), ranges.back());
        EXPECT_EQ(pointers_readable(ranges.data(), ranges.size()), readable) << i;
    }
    EXPECT_TRUE(pointers_readable(nullptr, 0));
    EXPECT_FALSE(pointers_readable(nullptr, 1));
    kavitest::unmap_test_pages(pages);
}

TEST(UpperCase, ChangesOnlyAsciiLetters) {
    std::string upper;
    for (int b = 1; b < 256; ++b) upper.push_back(static_cast<char>(b));
    upper_case(upper.data());
    ASSERT_EQ(upper.size(), 255u);
    for (int b = 1; b < 256; ++b)
        EXPECT_EQ(static_cast<unsigned char>(upper[b - 1]), b >= 'a' && b <= 'z' ? b - 32 : b);
    upper_case(nullptr);
}

TEST(Memory, ZeroedAndNeverNullForZeroBytes) {
    for (size_t size : {4096, 0}) {
        auto *p = static_cast<unsigned char *>(alloc_zeroed(size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::count(p, p + size, 0), static_cast<long>(size));
        mem_free(p);
    }
}

// thread_end runs the thread-local destructors and does not return; a bad stack size, no
// function or a failed start runs nothing. The destructor reads nothing of its object, which the
// Windows runtime frees before it runs the destructors.
std::promise<uint64_t> *ending_done = nullptr;  // given the thread's id by the destructor
struct Ending {
    ~Ending() {
        if (ending_done != nullptr) ending_done->set_value(thread_id());
    }
};
thread_local Ending ending;

TEST(Thread, StartRunsTheFunctionOnANewThreadAndEndRunsThreadLocalDestructors) {
    std::promise<uint64_t> done;
    auto end_early = [](void *arg) {
        static_cast<void>(&ending);  // made, so its destructor runs at the thread's end
        ending_done = static_cast<std::promise<uint64_t> *>(arg);
        thread_end();
        ending_done = nullptr;  // never reached, or the destructor would not report
    };
    ASSERT_EQ(thread_start(end_early, &done, THREAD_STACK_SIZE), OK);
    auto id = done.get_future();
    ASSERT_EQ(id.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_NE(id.get(), thread_id());
    auto fail = [](void *) { ADD_FAILURE() << "ran"; };
    EXPECT_EQ(thread_start(fail, nullptr, 1), ERR_INVALID_PARAMETER);
    EXPECT_EQ(thread_start(nullptr, nullptr), ERR_INVALID_PARAMETER);
    fault_arm(Fault::thread_start, 0, 1);
    EXPECT_EQ(thread_start(fail, nullptr) & SYSTEM_ERROR_BASE, SYSTEM_ERROR_BASE);
    EXPECT_EQ(at_exit(nullptr), ERR_INVALID_PARAMETER);
}

// Each point fails only its own call, after its passes, for its count or until cleared, also
// when hit from several threads at once.
TEST(FaultTest, EachPointPassesThenFailsItsOwnCallExactlyTheArmedCount) {
    fault_arm(Fault::alloc, 2, 1);
    fault_arm(Fault::mutex_create, 0, 1);
    fault_arm(Fault::event_create, 0, FAIL_ALWAYS);
    fault_arm(Fault::mailslot_write, 100, 500);
    std::string got;
    for (int i = 0; i < 4; ++i) {
        void *p = alloc_zeroed(8);
        got += p != nullptr ? '1' : '0';
        mem_free(p);
    }
    EXPECT_EQ(got, "1101");
    Mutex *m = nullptr;
    Event *e = nullptr;
    EXPECT_EQ(mutex_create(&m), ERR_NO_MEMORY);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(event_create(&e), ERR_NO_MEMORY);
    EXPECT_EQ(e, nullptr);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) failures += fault_hit(Fault::mailslot_write);
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures, 500);
    fault_clear();
    ASSERT_EQ(event_create(&e), OK);
    event_close(e);
}

// The process number is kept after the first ask; a forked child must not go on with its
// parent's (a pointer check would read the parent's memory).
TEST(ProcessId, IsTheChildsOwnAfterAFork) {
    const uint32_t parent = process_id();
    EXPECT_EQ(parent, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(Child::fork_run([] {
                  return process_id() == static_cast<uint32_t>(getpid()) ? 0 : 1;
              }).wait(10000),
              0);
}

// Malformed entries are ignored. The environment is read at the first use of the seam: in a
// process of its own.
TEST(FaultEnvironment, ArmsPointsAndIgnoresMalformedEntries) {
    EXPECT_EQ(Child::fork_run([] {
                  env_set("KAVI_FAULTS", "mutex_create:1:2,event_create:0:all,bogus:1:1,alloc:x:1");
                  std::string got;
                  for (Fault point : {Fault::mutex_create, Fault::mutex_create, Fault::mutex_create,
                                      Fault::mutex_create, Fault::event_create, Fault::event_create,
                                      Fault::alloc})
                      got += fault_hit(point) ? '1' : '0';
                  return got == "0110110" ? 0 : 1;
              }).wait(10000),
              0);
}

// A process that watches has its watch called and goes on; one that watches nothing ends. The
// watching child says when it watches in a file.
TEST(ProcessStop, CallsTheWatchesOfAProcessThatWatchesAndEndsOneThatDoesNot) {
    const std::string dir = kavitest::test_temp_dir();
    Child watching = Child::fork_run([&] {
        Event *stopped = nullptr;
        InterruptWatch *watch = nullptr;
        if (event_create(&stopped) != OK) return 2;
        auto set = [](void *e) { event_set(static_cast<Event *>(e)); };
        if (interrupt_watch_start(set, stopped, &watch) != OK) return 3;
        FILE *ready = fopen((dir + "/ready").c_str(), "w");
        if (ready == nullptr || fputs("ready", ready) < 0 || fclose(ready) != 0) return 4;
        uint32_t rc = event_wait(stopped, 10000);
        interrupt_watch_stop(watch);
        return rc == OK ? 0 : 5;
    });
    ASSERT_TRUE(kavitest::file_shows(dir + "/ready", "ready", 10000));
    const char *how = nullptr;
    EXPECT_EQ(process_stop(watching.pid(), &how), OK);
    EXPECT_EQ(watching.wait(10000), 0);
    EXPECT_NE(how, nullptr);

    Child idle = Child::fork_run([] {
        sleep_ms(10000);
        return 0;
    });
    how = nullptr;
    EXPECT_EQ(process_stop(idle.pid(), &how), OK);
    EXPECT_NE(idle.wait(10000), 0);
    EXPECT_NE(how, nullptr);
    EXPECT_EQ(process_stop(0), ERR_INVALID_PARAMETER);
}

}  // namespace
