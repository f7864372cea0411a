// wait_list_test.cpp — the response wait list with real events, threads and service buffers.
#include "exit/wait_list.h"

#include <gtest/gtest.h>

#include <thread>

#include "exit/exit_table.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"
#include "tests/exit/lifecycle_support.h"

namespace {

using namespace kavi;

const char ALPHA[] = "ALPHA   ", BETA[] = "BETA    ";
constexpr int32_t SETTLE_MS = 50;  // long enough for a wrongly woken waiter to be seen

struct Waiter {
    WaitEntry *entry = nullptr;
    plat::Event *event = nullptr;
    bool woken(int32_t ms = 0) const { return plat::event_wait(event, ms) == 0; }
};

// What VuleRLDel hands back of an entry it takes out; each field is overwritten by a take.
struct Taken {
    uint16_t code = 0xFFFF;
    uint8_t *message = reinterpret_cast<uint8_t *>(1);
    const uint8_t *block = reinterpret_cast<const uint8_t *>(1);
};

class WaitList : public ::testing::Test {
  protected:
    void SetUp() override {
        if (wait_list_mutex == nullptr) {
            ASSERT_EQ(plat::mutex_create(&wait_list_mutex), 0u);
        }
        // Entries are memory of the communication service, which serves started tasks only.
        for (const char *name : {ALPHA, BETA}) {
            auto start = kavc::request_for<VULC_STRTCOM>(name);
            ASSERT_EQ(vulcstrtcom(&start), 0u);
        }
    }
    void TearDown() override { plat::fault_clear(); }

    static Waiter add(const char *name, uint32_t key) {
        Waiter w;
        EXPECT_EQ(VuleRLAdd(name, key, &w.entry, &w.event), RL_OK);
        return w;
    }
    static Taken take(const char *name, uint32_t key, const Waiter &w) {
        Taken t;
        EXPECT_EQ(VuleRLDel(name, key, w.entry, &t.code, &t.message, &t.block), RL_OK);
        return t;
    }
    static uint32_t withdraw(const char *name, uint32_t key, const Waiter &w) {
        return VuleRLDel(name, key, w.entry, nullptr, nullptr, nullptr);
    }
    // buffer: one of the communication service, as the queue thread would hand over.
    static uint8_t *buffer() {
        auto request = kavc::request_for<VULC_ALCMEM>(ALPHA);
        request.size = 200;
        EXPECT_EQ(vulcalcmem(&request), 0u);
        return static_cast<uint8_t *>(request.buffer);
    }
    uint8_t message[8] = {};
};

TEST_F(WaitList, AnswersWithoutAMessageIdGoToTheOldestUnansweredEntryOfTheExit) {
    Waiter older = add(ALPHA, 0x1234), beta = add(BETA, 0x1234), younger = add(ALPHA, 0x1234);
    uint8_t second[8];
    ASSERT_EQ(VuleRLChange(ALPHA, 0x1234, 3, message, message + 4, 0), RL_OK);
    EXPECT_TRUE(older.woken());
    EXPECT_FALSE(younger.woken(SETTLE_MS));
    // Back to back, before the older one took its answer out: the second goes to the younger
    // entry, not over the first answer; BETA's entry, older, is another exit's.
    ASSERT_EQ(VuleRLChange(ALPHA, 0x1234, 4, second, nullptr, 0), RL_OK);
    EXPECT_TRUE(younger.woken());
    EXPECT_FALSE(beta.woken());
    Taken t = take(ALPHA, 0x1234, younger);
    EXPECT_TRUE(t.code == 4 && t.message == second && t.block == nullptr);
    t = take(ALPHA, 0x1234, older);
    EXPECT_TRUE(t.code == 3 && t.message == message && t.block == message + 4);
    EXPECT_EQ(VuleRLChange(ALPHA, 0x1234, 5, second, nullptr, 0), RL_NOT_FOUND);
    EXPECT_EQ(withdraw(ALPHA, 0x1234, older), RL_NOT_FOUND);
    EXPECT_EQ(withdraw(BETA, 0x1234, beta), RL_OK);
}

// A call takes out its own entry only; an answer for an unknown key changes nothing.
TEST_F(WaitList, ACallTakesOutItsOwnEntryOnly) {
    Waiter waiting = add(ALPHA, 0x10), failed = add(ALPHA, 0x10);
    std::thread waiter([&] { EXPECT_TRUE(waiting.woken(10000)); });
    ASSERT_EQ(withdraw(ALPHA, 0x10, failed), RL_OK);
    EXPECT_EQ(withdraw(ALPHA, 0x11, waiting), RL_NOT_FOUND);
    EXPECT_EQ(withdraw(BETA, 0x10, waiting), RL_NOT_FOUND);
    EXPECT_EQ(VuleRLChange(ALPHA, 0x11, 0, message, nullptr, 0), RL_NOT_FOUND);
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 9, message, nullptr, 0), RL_OK);
    waiter.join();
    EXPECT_EQ(take(ALPHA, 0x10, waiting).code, 9);
    Waiter unanswered = add(ALPHA, 1);
    Taken t = take(ALPHA, 1, unanswered);
    EXPECT_TRUE(t.code == 0 && t.message == nullptr);
}

// An answer goes to the call whose command it answers, and is held for it when it overtakes the
// send; an answer no call waits for reaches nobody; a call that gives up gets 0x8001 if unanswered.
TEST_F(WaitList, AnAnswerGoesToTheCallWhoseCommandItAnswers) {
    Waiter first = add(ALPHA, 0x10), second = add(ALPHA, 0x10), third = add(ALPHA, 0x10);
    Taken t;
    VuleRLSent(third.entry, 303);
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 3, message, nullptr, 303), RL_OK);
    EXPECT_TRUE(third.woken());
    // The first two calls are still sending: the answer to the second one's command waits.
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 2, buffer(), nullptr, 202), RL_OK);
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 7, buffer(), nullptr, 999), RL_OK);
    EXPECT_FALSE(first.woken() || second.woken());
    VuleRLSent(first.entry, 201);
    EXPECT_FALSE(first.woken());
    VuleRLSent(second.entry, 202);
    EXPECT_TRUE(second.woken());
    EXPECT_FALSE(first.woken());
    EXPECT_EQ(VuleRLChange(ALPHA, 0x10, 7, message, nullptr, 404), RL_NOT_FOUND);
    EXPECT_FALSE(first.woken());
    VuleRLEndWait(first.entry);
    VuleRLEndWait(third.entry);
    EXPECT_TRUE(first.woken());
    t = take(ALPHA, 0x10, third);
    EXPECT_TRUE(t.code == 3 && t.message == message);
    // Nobody claims the stray answer now: it was released (the leak checker would tell).
    auto free = kavc::request_for<VULC_FREEMEM>(ALPHA);
    t = take(ALPHA, 0x10, second);
    free.buffer = t.message;
    EXPECT_EQ(t.code, 2);
    EXPECT_EQ(vulcfreemem(&free), 0u);
    t = take(ALPHA, 0x10, first);
    EXPECT_TRUE(t.code == VULE_EXIT_ENDED && t.message == nullptr);
}

TEST_F(WaitList, TermExitWakesTheExitsWaitersAndClosesItsName) {
    Waiter alpha[3] = {add(ALPHA, 10), add(ALPHA, 11), add(ALPHA, 10)};
    Waiter answered = add(ALPHA, 12);
    ASSERT_EQ(VuleRLChange(ALPHA, 12, 6, message, nullptr, 0), RL_OK);
    Waiter beta = add(BETA, 10);
    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_OK);
    EXPECT_FALSE(beta.woken(SETTLE_MS));
    for (int i = 0; i < 3; ++i) {
        Taken t = take(ALPHA, i == 1 ? 11 : 10, alpha[i]);
        EXPECT_TRUE(t.code == VULE_EXIT_ENDED && t.message == nullptr) << i;
    }
    // An answer that came before the end is kept for its call.
    EXPECT_EQ(take(ALPHA, 12, answered).code, 6);
    EXPECT_EQ(take(BETA, 10, beta).code, 0);
    // A call added after the end could never be answered; a new registration opens the name again.
    Waiter late;
    EXPECT_EQ(VuleRLAdd(ALPHA, 10, &late.entry, &late.event), RL_ENDED);
    EXPECT_EQ(late.entry, nullptr);
    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_NOT_FOUND);
    VuleRLOpenExit(ALPHA);
    EXPECT_EQ(withdraw(ALPHA, 10, add(ALPHA, 10)), RL_OK);
}

// An entry whose event or memory fails is not linked; an abandoned mutex fails one call only.
TEST_F(WaitList, FailuresLeaveTheListWhole) {
    for (plat::Fault fault : {plat::Fault::event_create, plat::Fault::alloc}) {
        plat::fault_arm(fault, 0, 1);
        Waiter w;
        EXPECT_EQ(VuleRLAdd(ALPHA, 9, &w.entry, &w.event), RL_FAILED);
        EXPECT_EQ(w.event, nullptr);
        EXPECT_EQ(VuleRLChange(ALPHA, 9, 0, message, nullptr, 0), RL_NOT_FOUND);
    }
    lifecycle::abandon(wait_list_mutex);
    Waiter w;
    EXPECT_EQ(VuleRLAdd(ALPHA, 3, &w.entry, &w.event), RL_FAILED);
    EXPECT_EQ(w.event, nullptr);
    EXPECT_EQ(withdraw(ALPHA, 3, add(ALPHA, 3)), RL_OK);
}

}  // namespace
