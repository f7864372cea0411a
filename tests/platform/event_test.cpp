// event_test.cpp — manual-reset events: a set releases every waiter even when a reset follows at
// once, waits time out, and a released waiter may close the event at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

using namespace std::chrono_literals;

class EventTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(plat::event_create(&e_), plat::OK); }
    void TearDown() override { EXPECT_EQ(plat::event_close(e_), plat::OK); }
    plat::Event *e_ = nullptr;
};

TEST_F(EventTest, StaysSetUntilReset) {
    EXPECT_EQ(plat::event_wait(e_, 0), plat::TIMEOUT);
    ASSERT_EQ(plat::event_set(e_), plat::OK);
    ASSERT_EQ(plat::event_set(e_), plat::OK);
    EXPECT_EQ(plat::event_wait(e_, 0), plat::OK);
    EXPECT_EQ(plat::event_wait(e_), plat::OK);
    ASSERT_EQ(plat::event_reset(e_), plat::OK);
    EXPECT_EQ(plat::event_wait(e_, 0), plat::TIMEOUT);
}

TEST_F(EventTest, WaitTimesOut) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plat::event_wait(e_, 40), plat::TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
}

TEST_F(EventTest, SetThenResetReleasesEveryWaiter) {
    constexpr int WAITERS = 16;
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> arrived{0};
        std::atomic<int> released{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < WAITERS; ++i) {
            threads.emplace_back([&] {
                ++arrived;
                if (plat::event_wait(e_, 5000) == plat::OK) ++released;
            });
        }
        while (arrived < WAITERS) std::this_thread::sleep_for(1ms);
        // Time for the last arrivals to go from the counter into the wait.
        std::this_thread::sleep_for(50ms);
        ASSERT_EQ(plat::event_set(e_), plat::OK);
        ASSERT_EQ(plat::event_reset(e_), plat::OK);
        for (auto &t : threads) t.join();
        EXPECT_EQ(released, WAITERS) << "round " << round;
        EXPECT_EQ(plat::event_wait(e_, 0), plat::TIMEOUT);
    }
}

TEST(EventClose, ByTheWaiterAsSoonAsItIsReleased) {
    for (int i = 0; i < 200; ++i) {
        plat::Event *e = nullptr;
        ASSERT_EQ(plat::event_create(&e), plat::OK);
        std::thread waiter([e] {
            EXPECT_EQ(plat::event_wait(e, 10000), plat::OK);
            EXPECT_EQ(plat::event_close(e), plat::OK);
        });
        ASSERT_EQ(plat::event_set(e), plat::OK);
        waiter.join();
    }
}

TEST(EventHandles, NullIsInvalid) {
    EXPECT_EQ(plat::event_set(nullptr), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::event_reset(nullptr), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::event_wait(nullptr, 0), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::event_close(nullptr), plat::ERR_INVALID_HANDLE);
}

}  // namespace
