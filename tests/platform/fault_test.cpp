// fault_test.cpp — the fault seam: pass and fail counts, concurrent hits, the calls it makes
// fail, and arming from KAVI_FAULTS in a child process.
#include "platform/posix/fault.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

class FaultTest : public ::testing::Test {
  protected:
    void TearDown() override { plat::fault_clear(); }
};

TEST_F(FaultTest, PassesThenFailsThenPassesAgain) {
    plat::fault_arm(plat::Fault::alloc, 2, 1);
    std::vector<bool> got;
    for (int i = 0; i < 4; ++i) {
        void *p = plat::alloc_zeroed(8);
        got.push_back(p != nullptr);
        plat::mem_free(p);
    }
    EXPECT_EQ(got, (std::vector<bool>{true, true, false, true}));
}

TEST_F(FaultTest, FailAlwaysUntilCleared) {
    plat::fault_arm(plat::Fault::event_create, 0, plat::FAIL_ALWAYS);
    plat::Event *e = nullptr;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(plat::event_create(&e), plat::ERR_NO_MEMORY);
    EXPECT_EQ(e, nullptr);
    plat::fault_clear();
    ASSERT_EQ(plat::event_create(&e), plat::OK);
    plat::event_close(e);
}

TEST_F(FaultTest, EachPointFailsItsOwnCall) {
    plat::fault_arm(plat::Fault::mutex_create, 0, 1);
    plat::fault_arm(plat::Fault::thread_start, 0, 1);
    plat::Mutex *m = nullptr;
    EXPECT_EQ(plat::mutex_create(&m), plat::ERR_NO_MEMORY);
    EXPECT_EQ(m, nullptr);
    std::atomic<bool> ran{false};
    auto set_ran = [](void *arg) { static_cast<std::atomic<bool> *>(arg)->store(true); };
    EXPECT_EQ(plat::thread_start(set_ran, &ran), plat::SYSTEM_ERROR_BASE | EAGAIN);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(ran);
    // Other points are untouched.
    void *p = plat::alloc_zeroed(8);
    EXPECT_NE(p, nullptr);
    plat::mem_free(p);
}

TEST_F(FaultTest, ConcurrentHitsFailExactlyTheArmedCount) {
    plat::fault_arm(plat::Fault::mailslot_write, 100, 500);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                if (plat::fault_hit(plat::Fault::mailslot_write)) ++failures;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures, 500);
}

TEST(FaultEnvironment, ArmsPointsAndIgnoresMalformedEntries) {
    const std::string out = kavitest::make_temp_dir() + "/faults";
    auto child = kavitest::Child::spawn(
        {kavitest::executable_dir() + "/platform_child", "faults"},
        {"KAVI_FAULTS=mutex_create:1:2,event_create:0:all,bogus:1:1,alloc:x:1"}, out);
    ASSERT_EQ(child.wait(10000), 0);
    EXPECT_EQ(kavitest::read_file(out),
              "mutex 0 mutex 8 mutex 8 mutex 0 event 8 event 8 event 8 alloc ok\n");
}

}  // namespace
