// sync_test.cpp — platform mutexes (recursion, ownership, time-outs, abandonment) and manual-reset
// events (a set releases every waiter even when a reset follows at once, waits time out, a
// released waiter may close the event at once), with real threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using namespace plat;
using Clock = std::chrono::steady_clock;

TEST(EventTest, StaysSetUntilResetAndReleasesEveryWaiterOfASetThenReset) {
    Event *e = nullptr;
    ASSERT_EQ(event_create(&e), OK);
    auto start = Clock::now();
    EXPECT_EQ(event_wait(e, 40), TIMEOUT);
    EXPECT_GE(Clock::now() - start, 40ms);
    ASSERT_EQ(event_set(e), OK);
    ASSERT_EQ(event_set(e), OK);
    EXPECT_EQ(event_wait(e, 0), OK);
    EXPECT_EQ(event_wait(e), OK);
    ASSERT_EQ(event_reset(e), OK);
    EXPECT_EQ(event_wait(e, 0), TIMEOUT);
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> arrived{0}, released{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 16; ++i)
            threads.emplace_back([&] {
                ++arrived;
                released += event_wait(e, 10000) == OK;
            });
        while (arrived < 16) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);  // for the last arrivals to go into the wait
        ASSERT_EQ(event_set(e), OK);
        ASSERT_EQ(event_reset(e), OK);
        // Released by the set, long before their own time-out would end the waits.
        EXPECT_TRUE(kavitest::eventually([&] { return released == 16; }, 2500))
            << "round " << round;
        for (auto &t : threads) t.join();
        EXPECT_EQ(event_wait(e, 0), TIMEOUT);
    }
    EXPECT_EQ(event_close(e), OK);
}

TEST(EventClose, ByTheWaiterAsSoonAsItIsReleased) {
    for (int i = 0; i < 200; ++i) {
        Event *e = nullptr;
        ASSERT_EQ(event_create(&e), OK);
        std::thread waiter([e] {
            EXPECT_EQ(event_wait(e, 10000), OK);
            EXPECT_EQ(event_close(e), OK);
        });
        ASSERT_EQ(event_set(e), OK);
        waiter.join();
    }
}

// Two threads hand a turn to each other as the queue thread and the dispatcher do: each set
// meets the other side as it goes to sleep, or just before, or just after; none may be lost.
TEST(EventTest, HandOffsBackAndForthLoseNoWakeUp) {
    Event *ping = nullptr, *pong = nullptr;
    ASSERT_EQ(event_create(&ping), OK);
    ASSERT_EQ(event_create(&pong), OK);
    constexpr int TURNS = 20000;
    std::thread other([&] {
        for (int i = 0; i < TURNS; ++i) {
            if (event_wait(ping, 5000) != OK) break;
            event_reset(ping);
            event_set(pong);
        }
    });
    int turns = 0;
    for (; turns < TURNS; ++turns) {
        event_set(ping);
        if (event_wait(pong, 5000) != OK) break;
        event_reset(pong);
    }
    other.join();
    EXPECT_EQ(turns, TURNS);
    EXPECT_EQ(event_close(ping), OK);
    EXPECT_EQ(event_close(pong), OK);
}

TEST(EventHandles, NullIsInvalidForEventsAndMutexes) {
    for (uint32_t rc :
         {event_set(nullptr), event_reset(nullptr), event_wait(nullptr, 0), event_close(nullptr),
          mutex_acquire(nullptr), mutex_release(nullptr), mutex_close(nullptr)})
        EXPECT_EQ(rc, ERR_INVALID_HANDLE);
}

class MutexTest : public ::testing::TestWithParam<int> {
  public:
    void SetUp() override { ASSERT_EQ(mutex_create(&m_), OK); }
    void TearDown() override { EXPECT_EQ(mutex_close(m_), OK); }
    // other_thread: acquires with the time-out on another thread, releases again if it got it.
    uint32_t other_thread(int32_t timeout_ms) {
        uint32_t rc = 0;
        std::thread([&] {
            if ((rc = mutex_acquire(m_, timeout_ms)) == OK || rc == ABANDONED) mutex_release(m_);
        }).join();
        return rc;
    }
    Mutex *m_ = nullptr;
    std::promise<void> acquired_;
};

TEST_F(MutexTest, RecursiveOwnerNeedsOneReleasePerAcquireAndOnlyTheOwnerReleases) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(mutex_acquire(m_, 0), OK);
    uint32_t rc = 0;
    std::thread([&] { rc = mutex_release(m_); }).join();
    EXPECT_EQ(rc, ERR_NOT_OWNER);
    auto start = Clock::now();
    EXPECT_EQ(other_thread(50), TIMEOUT);
    EXPECT_GE(Clock::now() - start, 50ms);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(mutex_release(m_), OK);
        EXPECT_EQ(other_thread(0), TIMEOUT);
    }
    ASSERT_EQ(mutex_release(m_), OK);
    EXPECT_EQ(other_thread(0), OK);
    EXPECT_EQ(mutex_release(m_), ERR_NOT_OWNER);
}

TEST_F(MutexTest, ExcludesConcurrentOwners) {
    long counter = 0;  // deliberately not atomic: the mutex alone must order the updates
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(mutex_acquire(m_, 10000), OK);
                ++counter;
                ASSERT_EQ(mutex_release(m_), OK);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 8000);
}

// The owner ends holding the mutex GetParam() times: by returning, then by thread_end while
// another thread may already wait. The next owner holds it once, whatever that depth was.
using AbandonedMutexTest = MutexTest;
TEST_P(AbandonedMutexTest, ReportedOnceAndUsableAfterwards) {
    std::thread([&] {
        for (int i = 0; i < GetParam(); ++i) mutex_acquire(m_);
    }).join();
    ASSERT_EQ(mutex_acquire(m_, 5000), ABANDONED);
    ASSERT_EQ(mutex_release(m_), OK);
    EXPECT_EQ(mutex_release(m_), ERR_NOT_OWNER);
    EXPECT_EQ(other_thread(0), OK);
    auto owner = [](void *self) {
        auto *t = static_cast<MutexTest *>(self);
        for (int i = 0; i < t->GetParam(); ++i) mutex_acquire(t->m_);
        t->acquired_.set_value();
        thread_end();
    };
    ASSERT_EQ(thread_start(owner, this), OK);
    ASSERT_EQ(acquired_.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(mutex_acquire(m_, 5000), ABANDONED);
    EXPECT_EQ(mutex_release(m_), OK);
}
INSTANTIATE_TEST_SUITE_P(Depth, AbandonedMutexTest, ::testing::Values(1, 3));

// A thread-local object whose destructor reuses freed memory: one of a program's own, made after
// the thread took its first mutex, so that its destructor runs before anything the mutexes keep
// per thread is looked at. Where the runtime frees thread-local storage before it runs these
// destructors (mingw's), it fills what was freed; it reads nothing of its own, freed as well.
struct Scribbler {
    bool used = false;
    ~Scribbler() {
        std::vector<void *> blocks;
        for (size_t size = 8; size <= 256; size += 8)
            for (int i = 0; i < 8; ++i) blocks.push_back(memset(malloc(size), 0xFF, size));
        for (void *b : blocks) free(b);
    }
};
thread_local Scribbler scribbler;

TEST_F(MutexTest, AbandonedAlsoWhenTheThreadsOtherDestructorsReuseFreedMemory) {
    auto owner = [](void *self) {
        auto *t = static_cast<MutexTest *>(self);
        mutex_acquire(t->m_);
        scribbler.used = true;
        t->acquired_.set_value();
    };
    ASSERT_EQ(thread_start(owner, this), OK);
    ASSERT_EQ(acquired_.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(mutex_acquire(m_, 5000), ABANDONED);
    EXPECT_EQ(mutex_release(m_), OK);
}

// Closing while another thread owns the mutex, which then releases it once and ends (holding it
// still at depth 2); in a child process, since a use of the freed object can hang or crash.
TEST(MutexClose, WhileOwnedByAnotherThread) {
    for (int depth : {1, 2}) {
        EXPECT_EQ(kavitest::Child::fork_run([depth] {
                      Mutex *m = nullptr;
                      mutex_create(&m);
                      std::promise<void> acquired, closed;
                      uint32_t released = 0;
                      std::thread owner([&] {
                          for (int i = 0; i < depth; ++i) mutex_acquire(m);
                          acquired.set_value();
                          closed.get_future().wait();
                          released = mutex_release(m);
                      });
                      acquired.get_future().wait();
                      uint32_t rc = mutex_close(m);
                      closed.set_value();
                      owner.join();
                      return rc == OK && released == OK ? 0 : 2;
                  }).wait(5000),
                  0)
            << depth;
    }
}

}  // namespace
