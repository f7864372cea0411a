// system_test.cpp — pointer readability against real mappings, upper-casing, the environment,
// memory, threads, exit handlers and the fault seam.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/fault.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using namespace plat;
using kavitest::Child;

// One bad range, alone or among many (more page probes than one request carries, the bad one
// first or last), makes the answer false; a partly readable range is not readable.
TEST(PointerReadable, AnswersForEachKindOfRangeAloneAndTogether) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *base = static_cast<char *>(
        mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base + 2 * page, page, PROT_NONE), 0);  // readable, readable, none,
    ASSERT_EQ(munmap(base + 3 * page, page), 0);               // unmapped
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
        {{reinterpret_cast<void *>(0xffff800000000000ULL), 8}, false},
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
    munmap(base, 3 * page);
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

TEST(Environment, SetEmptyAndUnset) {
    std::string value = "untouched";
    EXPECT_FALSE(env_get("KAVI_PLATFORM_TEST_VAR", &value));
    EXPECT_EQ(value, "untouched");
    for (const char *set : {"", "a b"}) {
        setenv("KAVI_PLATFORM_TEST_VAR", set, 1);
        EXPECT_TRUE(env_get("KAVI_PLATFORM_TEST_VAR", &value));
        EXPECT_EQ(value, set);
    }
}

TEST(Memory, ZeroedAndNeverNullForZeroBytes) {
    for (size_t size : {4096, 0}) {
        auto *p = static_cast<unsigned char *>(alloc_zeroed(size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::count(p, p + size, 0), static_cast<long>(size));
        mem_free(p);
    }
    mem_free(nullptr);
}

// A started thread runs on a thread of its own; a bad stack size, no function or a failed
// start runs nothing. thread_end runs the thread-local destructors and does not return.
struct CleanUp {
    std::promise<uint64_t> *done = nullptr;
    ~CleanUp() {
        if (done != nullptr) done->set_value(thread_id());
    }
};
thread_local CleanUp clean_up;

TEST(Thread, StartRunsTheFunctionOnANewThreadAndEndRunsThreadLocalDestructors) {
    std::promise<uint64_t> ended;
    auto end_early = [](void *arg) {
        clean_up.done = static_cast<std::promise<uint64_t> *>(arg);
        thread_end();
        clean_up.done = nullptr;  // never reached: the destructor would not report
    };
    ASSERT_EQ(thread_start(end_early, &ended, THREAD_STACK_SIZE), OK);
    auto id = ended.get_future();
    ASSERT_EQ(id.wait_for(5s), std::future_status::ready);
    EXPECT_NE(id.get(), thread_id());
    EXPECT_EQ(process_id(), static_cast<uint32_t>(getpid()));
    std::atomic<bool> ran{false};
    auto set_ran = [](void *arg) { static_cast<std::atomic<bool> *>(arg)->store(true); };
    EXPECT_EQ(thread_start(set_ran, &ran, 1), ERR_INVALID_PARAMETER);
    EXPECT_EQ(thread_start(nullptr, &ran), ERR_INVALID_PARAMETER);
    fault_arm(Fault::thread_start, 0, 1);
    EXPECT_EQ(thread_start(set_ran, &ran), SYSTEM_ERROR_BASE | EAGAIN);
    auto start = std::chrono::steady_clock::now();
    sleep_ms(20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_FALSE(ran);
}

// The exit handler runs on a normal exit (exit(), or a return from main) only, not on _exit.
std::string handler_ran;
TEST(AtExit, RunsOnNormalExitOnly) {
    handler_ran = kavitest::make_temp_dir() + "/ran";
    for (bool normal : {false, true}) {
        EXPECT_EQ(Child::fork_run([normal] {
                      if (at_exit([] { fclose(fopen(handler_ran.c_str(), "w")); }) != OK) return 1;
                      normal ? exit(0) : _exit(0);
                  }).wait(10000),
                  0);
        EXPECT_EQ(access(handler_ran.c_str(), F_OK) == 0, normal);
    }
}

// Each point fails only its own call, after its passes, for its count or until cleared, also
// when hit from several threads at once.
TEST(FaultTest, EachPointPassesThenFailsItsOwnCallExactlyTheArmedCount) {
    fault_arm(Fault::alloc, 2, 1);
    fault_arm(Fault::mutex_create, 0, 1);
    fault_arm(Fault::event_create, 0, FAIL_ALWAYS);
    fault_arm(Fault::mailslot_write, 100, 500);
    std::vector<bool> got;
    for (int i = 0; i < 4; ++i) {
        void *p = alloc_zeroed(8);
        got.push_back(p != nullptr);
        mem_free(p);
    }
    EXPECT_EQ(got, (std::vector<bool>{true, true, false, true}));
    Mutex *m = nullptr;
    EXPECT_EQ(mutex_create(&m), ERR_NO_MEMORY);
    EXPECT_EQ(m, nullptr);
    Event *e = nullptr;
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

// Malformed entries are ignored. The environment is read at the first use of the seam: in a
// process of its own.
TEST(FaultEnvironment, ArmsPointsAndIgnoresMalformedEntries) {
    EXPECT_EQ(Child::fork_run([] {
                  setenv("KAVI_FAULTS", "mutex_create:1:2,event_create:0:all,bogus:1:1,alloc:x:1",
                         1);
                  std::string got;
                  for (int i = 0; i < 4; ++i) {
                      Mutex *m = nullptr;
                      got += std::to_string(mutex_create(&m)) + " ";
                      if (m != nullptr) mutex_close(m);
                  }
                  Event *e = nullptr;
                  for (int i = 0; i < 3; ++i) got += std::to_string(event_create(&e)) + " ";
                  void *p = alloc_zeroed(16);
                  got += p != nullptr ? "ok" : "null";
                  return got == "0 8 8 0 8 8 8 ok" ? 0 : 1;
              }).wait(10000),
              0);
}

}  // namespace
