// wait_list_test.cpp — the response wait list with real events, threads and buffers of the
// communication service: who is woken, with what, and how failures leave the list.
#include "exit/wait_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "exit/exit_table.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"

namespace {

using namespace kavi;

const char ALPHA[] = "ALPHA   ";
const char BETA[] = "BETA    ";
constexpr int32_t SETTLE_MS = 50;  // long enough for a wrongly woken waiter to be seen

class WaitList : public ::testing::Test {
  protected:
    void SetUp() override {
        if (wait_list_mutex == nullptr) {
            ASSERT_EQ(plat::mutex_create(&wait_list_mutex), 0u);
        }
        // Entries are memory of the communication service, which serves started tasks only.
        for (const char *name : {ALPHA, BETA}) {
            VULC_STRTCOM start{};
            start.head.length = sizeof start;
            std::memcpy(start.head.task, name, 8);
            ASSERT_EQ(vulcstrtcom(&start), 0u);
        }
    }
    void TearDown() override { plat::fault_clear(); }

    plat::Event *add(const char *name, uint32_t key) {
        plat::Event *event = nullptr;
        EXPECT_EQ(VuleRLAdd(name, key, &event), RL_OK);
        return event;
    }

    // A buffer of the communication service, as the queue thread would hand over.
    uint8_t *buffer() {
        VULC_ALCMEM request{};
        request.head.length = sizeof request;
        std::memcpy(request.head.task, ALPHA, 8);
        request.size = 200;
        EXPECT_EQ(vulcalcmem(&request), 0u);
        return static_cast<uint8_t *>(request.buffer);
    }
    void free_buffer(uint8_t *message) {
        VULC_FREEMEM request{};
        request.head.length = sizeof request;
        std::memcpy(request.head.task, ALPHA, 8);
        request.buffer = message;
        EXPECT_EQ(vulcfreemem(&request), 0u);
    }
};

bool is_set(plat::Event *e, int32_t ms = 0) {
    return plat::event_wait(e, ms) == 0;
}

TEST_F(WaitList, TwoWaitersUnderOneKeyAreAnsweredOldestFirst) {
    plat::Event *older = add(ALPHA, 0x1234);
    plat::Event *younger = add(ALPHA, 0x1234);
    uint8_t first[8], second[8];

    ASSERT_EQ(VuleRLChange(ALPHA, 0x1234, 3, first, first + 4), RL_OK);
    EXPECT_TRUE(is_set(older));
    EXPECT_FALSE(is_set(younger, SETTLE_MS));

    uint16_t code = 0;
    uint8_t *message = nullptr;
    const uint8_t *block = nullptr;
    ASSERT_EQ(VuleRLDel(ALPHA, 0x1234, &code, &message, &block), RL_OK);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(message, first);
    EXPECT_EQ(block, first + 4);

    // Only now is the younger one the oldest with the key.
    ASSERT_EQ(VuleRLChange(ALPHA, 0x1234, 4, second, nullptr), RL_OK);
    EXPECT_TRUE(is_set(younger));
    ASSERT_EQ(VuleRLDel(ALPHA, 0x1234, &code, &message, &block), RL_OK);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(message, second);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(VuleRLDel(ALPHA, 0x1234, nullptr, nullptr, nullptr), RL_NOT_FOUND);
}

TEST_F(WaitList, AnswerForAnUnknownKeyChangesNothing) {
    plat::Event *waiting = add(ALPHA, 1);
    uint8_t message[8];
    EXPECT_EQ(VuleRLChange(ALPHA, 2, 0, message, nullptr), RL_NOT_FOUND);
    EXPECT_FALSE(is_set(waiting));
    uint16_t code = 0xFFFF;
    uint8_t *got = message;
    ASSERT_EQ(VuleRLDel(ALPHA, 1, &code, &got, nullptr), RL_OK);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(got, nullptr);
}

TEST_F(WaitList, TermExitWakesEveryWaiterOfTheExitOnly) {
    plat::Event *alpha[3] = {add(ALPHA, 10), add(ALPHA, 11), add(ALPHA, 10)};
    plat::Event *beta = add(BETA, 10);
    uint32_t woke[3] = {};
    std::thread waiters[3];
    for (int i = 0; i < 3; ++i)
        waiters[i] = std::thread([&, i] { woke[i] = plat::event_wait(alpha[i], 10000); });

    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_OK);
    for (auto &t : waiters) t.join();
    for (uint32_t w : woke) EXPECT_EQ(w, 0u);
    EXPECT_FALSE(is_set(beta, SETTLE_MS));

    for (uint32_t key : {10u, 11u, 10u}) {
        uint16_t code = 0;
        uint8_t *message = reinterpret_cast<uint8_t *>(&code);
        ASSERT_EQ(VuleRLDel(ALPHA, key, &code, &message, nullptr), RL_OK);
        EXPECT_EQ(code, VULE_EXIT_ENDED);
        EXPECT_EQ(message, nullptr);
    }
    // BETA's entry is the last with key 10 and was never answered.
    uint16_t code = 1;
    ASSERT_EQ(VuleRLDel(BETA, 10, &code, nullptr, nullptr), RL_OK);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_NOT_FOUND);
}

TEST_F(WaitList, AWaiterOnAnotherThreadIsWokenByAnAnswer) {
    plat::Event *event = add(ALPHA, 77);
    uint16_t code = 0;
    std::thread waiter([&] {
        ASSERT_EQ(plat::event_wait(event, 10000), 0u);
        VuleRLDel(ALPHA, 77, &code, nullptr, nullptr);
    });
    uint8_t message[8];
    ASSERT_EQ(VuleRLChange(ALPHA, 77, 0x2345, message, nullptr), RL_OK);
    waiter.join();
    EXPECT_EQ(code, 0x2345);
}

TEST_F(WaitList, ReplacedAnswerIsReleased) {
    add(ALPHA, 5);
    // Both buffers belong to the list once handed over; under the leak checker an answer that
    // is replaced without being released shows here.
    ASSERT_EQ(VuleRLChange(ALPHA, 5, 1, buffer(), nullptr), RL_OK);
    uint8_t *last = buffer();
    ASSERT_EQ(VuleRLChange(ALPHA, 5, 2, last, nullptr), RL_OK);
    ASSERT_EQ(VuleRLChange(ALPHA, 5, 3, last, nullptr), RL_OK);  // the same buffer again
    uint8_t *message = nullptr;
    ASSERT_EQ(VuleRLDel(ALPHA, 5, nullptr, &message, nullptr), RL_OK);
    EXPECT_EQ(message, last);
    free_buffer(message);
}

TEST_F(WaitList, EntryWhoseEventCannotBeCreatedIsNotLinked) {
    plat::fault_arm(plat::Fault::event_create, 0, 1);
    plat::Event *event = nullptr;
    EXPECT_EQ(VuleRLAdd(ALPHA, 9, &event), RL_FAILED);
    EXPECT_EQ(event, nullptr);
    uint8_t message[8];
    EXPECT_EQ(VuleRLChange(ALPHA, 9, 0, message, nullptr), RL_NOT_FOUND);
    EXPECT_EQ(VuleRLDel(ALPHA, 9, nullptr, nullptr, nullptr), RL_NOT_FOUND);

    plat::fault_arm(plat::Fault::alloc, 0, 1);
    EXPECT_EQ(VuleRLAdd(ALPHA, 9, &event), RL_FAILED);
    EXPECT_EQ(VuleRLDel(ALPHA, 9, nullptr, nullptr, nullptr), RL_NOT_FOUND);
}

TEST_F(WaitList, AbandonedMutexFailsOneCallAndFreesTheList) {
    std::thread([] { ASSERT_EQ(plat::mutex_acquire(wait_list_mutex), 0u); }).join();
    plat::Event *event = nullptr;
    EXPECT_EQ(VuleRLAdd(ALPHA, 3, &event), RL_FAILED);
    EXPECT_EQ(event, nullptr);
    // The mutex is free again: the next operations go through without blocking.
    add(ALPHA, 3);
    EXPECT_EQ(VuleRLDel(ALPHA, 3, nullptr, nullptr, nullptr), RL_OK);
}

TEST(WaitListBeforeRegistration, FailsWithoutTheMutex) {
    if (wait_list_mutex != nullptr) GTEST_SKIP() << "needs a process of its own";
    plat::Event *event = nullptr;
    EXPECT_EQ(VuleRLAdd(ALPHA, 1, &event), RL_FAILED);
    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_FAILED);
}

}  // namespace
