// sync_test.cpp — platform mutexes (recursion, ownership, time-outs, abandonment) and manual-reset
// events (a set releases every waiter even when a reset follows at once, waits time out, a
// released waiter may close the event at once), with real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;

// With: a fresh object for each test, which must close cleanly after it.
template <typename T, uint32_t (*create)(T **), uint32_t (*close)(T *)>
class With : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(create(&object_), plat::OK); }
    void TearDown() override { EXPECT_EQ(close(object_), plat::OK); }
    T *object_ = nullptr;
};

class EventTest : public With<plat::Event, plat::event_create, plat::event_close> {
  protected:
    plat::Event *&e_ = object_;
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

// Acquires m from another thread with the given time-out and returns the result, releasing
// the mutex again when it was acquired.
uint32_t try_from_other_thread(plat::Mutex *m, int32_t timeout_ms) {
    uint32_t rc = 0;
    std::thread t([&] {
        rc = plat::mutex_acquire(m, timeout_ms);
        if (rc == plat::OK || rc == plat::ABANDONED) plat::mutex_release(m);
    });
    t.join();
    return rc;
}

class MutexTest : public With<plat::Mutex, plat::mutex_create, plat::mutex_close> {
  protected:
    plat::Mutex *&m_ = object_;
};

TEST_F(MutexTest, RecursiveOwnerNeedsOneReleasePerAcquire) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(plat::mutex_acquire(m_, 0), plat::OK);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(plat::mutex_release(m_), plat::OK);
        EXPECT_EQ(try_from_other_thread(m_, 0), plat::TIMEOUT);
    }
    ASSERT_EQ(plat::mutex_release(m_), plat::OK);
    EXPECT_EQ(try_from_other_thread(m_, 0), plat::OK);
    EXPECT_EQ(plat::mutex_release(m_), plat::ERR_NOT_OWNER);
}

TEST_F(MutexTest, OnlyTheOwnerMayRelease) {
    ASSERT_EQ(plat::mutex_acquire(m_), plat::OK);
    uint32_t rc = 0;
    std::thread([&] { rc = plat::mutex_release(m_); }).join();
    EXPECT_EQ(rc, plat::ERR_NOT_OWNER);
    EXPECT_EQ(plat::mutex_release(m_), plat::OK);
}

TEST_F(MutexTest, TimedAcquireTimesOutWhileHeld) {
    ASSERT_EQ(plat::mutex_acquire(m_), plat::OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(try_from_other_thread(m_, 50), plat::TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(plat::mutex_release(m_), plat::OK);
}

TEST_F(MutexTest, ExcludesConcurrentOwners) {
    long counter = 0;  // deliberately not atomic: the mutex alone must order the updates
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(plat::mutex_acquire(m_, 10000), plat::OK);
                ++counter;
                ASSERT_EQ(plat::mutex_release(m_), plat::OK);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 8000);
}

// The owner thread ends holding the mutex `depth` times, by returning or by thread_end.
struct DyingOwner {
    plat::Mutex *m;
    int depth;
    std::promise<void> done;
};

void acquire_and_end(void *arg) {
    auto *owner = static_cast<DyingOwner *>(arg);
    for (int i = 0; i < owner->depth; ++i) plat::mutex_acquire(owner->m);
    owner->done.set_value();
    plat::thread_end();
}

class AbandonedMutexTest : public MutexTest, public ::testing::WithParamInterface<int> {};

TEST_P(AbandonedMutexTest, ReportedOnceAndUsableAfterwards) {
    std::thread([&] {
        for (int i = 0; i < GetParam(); ++i) plat::mutex_acquire(m_);
    }).join();
    ASSERT_EQ(plat::mutex_acquire(m_, 5000), plat::ABANDONED);
    // The new owner holds it once, whatever depth the dead owner had.
    ASSERT_EQ(plat::mutex_release(m_), plat::OK);
    EXPECT_EQ(plat::mutex_release(m_), plat::ERR_NOT_OWNER);
    EXPECT_EQ(try_from_other_thread(m_, 0), plat::OK);
    EXPECT_EQ(plat::mutex_acquire(m_, 0), plat::OK);
    EXPECT_EQ(plat::mutex_release(m_), plat::OK);
}

TEST_P(AbandonedMutexTest, ThreadEndWakesAWaiter) {
    DyingOwner owner{m_, GetParam(), {}};
    auto acquired = owner.done.get_future();
    ASSERT_EQ(plat::thread_start(acquire_and_end, &owner), plat::OK);
    ASSERT_EQ(acquired.wait_for(5s), std::future_status::ready);
    // Usually already waiting when the owner ends; ABANDONED either way.
    EXPECT_EQ(plat::mutex_acquire(m_, 5000), plat::ABANDONED);
    EXPECT_EQ(plat::mutex_release(m_), plat::OK);
}

INSTANTIATE_TEST_SUITE_P(Depth, AbandonedMutexTest, ::testing::Values(1, 3));

// Closes the handle while another thread owns the mutex `depth` times; that thread then releases
// once and ends. Run in a child process, so that a use of the freed object, which can as well hang
// as crash, fails the test within its deadline.
int close_while_owned(int depth) {
    plat::Mutex *m = nullptr;
    if (plat::mutex_create(&m) != plat::OK) return 1;
    std::promise<void> acquired, closed;
    uint32_t released = 0;
    std::thread owner([&] {
        for (int i = 0; i < depth; ++i) plat::mutex_acquire(m);
        acquired.set_value();
        closed.get_future().wait();
        released = plat::mutex_release(m);
    });
    acquired.get_future().wait();
    uint32_t rc = plat::mutex_close(m);
    closed.set_value();
    owner.join();
    return rc == plat::OK && released == plat::OK ? 0 : 2;
}

TEST(MutexClose, WhileOwnedByAThreadThatReleasesIt) {
    EXPECT_EQ(kavitest::Child::fork_run([] { return close_while_owned(1); }).wait(5000), 0);
}

TEST(MutexClose, WhileOwnedByAThreadThatEndsHoldingIt) {
    EXPECT_EQ(kavitest::Child::fork_run([] { return close_while_owned(2); }).wait(5000), 0);
}

TEST(MutexHandles, NullIsInvalid) {
    EXPECT_EQ(plat::mutex_acquire(nullptr), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::mutex_release(nullptr), plat::ERR_INVALID_HANDLE);
    EXPECT_EQ(plat::mutex_close(nullptr), plat::ERR_INVALID_HANDLE);
}

}  // namespace
