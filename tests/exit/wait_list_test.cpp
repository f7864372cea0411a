// wait_list_test.cpp — the response wait list with real events, threads and buffers of the
// communication service: who is woken, with what, and how failures leave the list.
#include "exit/wait_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "exit/exit_table.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"

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
            auto start = kavc::request_for<VULC_STRTCOM>(name);
            ASSERT_EQ(vulcstrtcom(&start), 0u);
        }
    }
    void TearDown() override { plat::fault_clear(); }

    // add: a new entry; its event is entry_event.
    WaitEntry *add(const char *name, uint32_t key) {
        WaitEntry *entry = nullptr;
        EXPECT_EQ(VuleRLAdd(name, key, &entry, &entry_event), RL_OK);
        return entry;
    }
    plat::Event *entry_event = nullptr;

    // A buffer of the communication service, as the queue thread would hand over.
    uint8_t *buffer() {
        auto request = kavc::request_for<VULC_ALCMEM>(ALPHA);
        request.size = 200;
        EXPECT_EQ(vulcalcmem(&request), 0u);
        return static_cast<uint8_t *>(request.buffer);
    }
    // What VuleRLDel hands back of an entry it takes out; each field is overwritten by a take.
    struct Taken {
        uint16_t code = 0xFFFF;
        uint8_t *message = reinterpret_cast<uint8_t *>(1);
        const uint8_t *block = reinterpret_cast<const uint8_t *>(1);
    };
    static Taken take(const char *name, uint32_t key, WaitEntry *entry) {
        Taken t;
        EXPECT_EQ(VuleRLDel(name, key, entry, &t.code, &t.message, &t.block), RL_OK);
        return t;
    }
    void free_buffer(uint8_t *message) {
        auto request = kavc::request_for<VULC_FREEMEM>(ALPHA);
        request.buffer = message;
        EXPECT_EQ(vulcfreemem(&request), 0u);
    }
};

bool is_set(plat::Event *e, int32_t ms = 0) {
    return plat::event_wait(e, ms) == 0;
}

TEST_F(WaitList, AnswersWithoutAMessageIdGoToTheOldestUnansweredEntryOfTheExit) {
    WaitEntry *older = add(ALPHA, 0x1234);
    plat::Event *older_event = entry_event;
    WaitEntry *beta = add(BETA, 0x1234);
    plat::Event *beta_event = entry_event;
    WaitEntry *younger = add(ALPHA, 0x1234);
    plat::Event *younger_event = entry_event;
    uint8_t first[8], second[8];

    ASSERT_EQ(VuleRLChange(ALPHA, 0x1234, 3, first, first + 4, 0), RL_OK);
    EXPECT_TRUE(is_set(older_event));
    EXPECT_FALSE(is_set(younger_event, SETTLE_MS));
    // Back to back, before the older one took its answer out: the second goes to the younger
    // entry, not over the first answer; BETA's entry, older, is another exit's.
    ASSERT_EQ(VuleRLChange(ALPHA, 0x1234, 4, second, nullptr, 0), RL_OK);
    EXPECT_TRUE(is_set(younger_event));
    EXPECT_FALSE(is_set(beta_event));

    Taken t = take(ALPHA, 0x1234, younger);
    EXPECT_EQ(t.code, 4);
    EXPECT_EQ(t.message, second);
    EXPECT_EQ(t.block, nullptr);
    t = take(ALPHA, 0x1234, older);
    EXPECT_EQ(t.code, 3);
    EXPECT_EQ(t.message, first);
    EXPECT_EQ(t.block, first + 4);
    EXPECT_EQ(VuleRLChange(ALPHA, 0x1234, 5, second, nullptr, 0), RL_NOT_FOUND);
    EXPECT_EQ(VuleRLDel(ALPHA, 0x1234, older, nullptr, nullptr, nullptr), RL_NOT_FOUND);
    EXPECT_EQ(VuleRLDel(BETA, 0x1234, beta, nullptr, nullptr, nullptr), RL_OK);
}

TEST_F(WaitList, ACallTakesOutItsOwnEntryOnly) {
    WaitEntry *waiting = add(ALPHA, 0x10);
    plat::Event *waiting_event = entry_event;
    WaitEntry *failed = add(ALPHA, 0x10);
    std::thread waiter([&] { EXPECT_EQ(plat::event_wait(waiting_event, 10000), 0u); });
    // The younger call withdraws; the older one's entry and event stay whole.
    ASSERT_EQ(VuleRLDel(ALPHA, 0x10, failed, nullptr, nullptr, nullptr), RL_OK);
    EXPECT_EQ(VuleRLDel(ALPHA, 0x11, waiting, nullptr, nullptr, nullptr), RL_NOT_FOUND);
    EXPECT_EQ(VuleRLDel(BETA, 0x10, waiting, nullptr, nullptr, nullptr), RL_NOT_FOUND);
    uint8_t message[8];
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 9, message, nullptr, 0), RL_OK);
    waiter.join();
    EXPECT_EQ(take(ALPHA, 0x10, waiting).code, 9);
}

TEST_F(WaitList, AnAnswerGoesToTheCallWhoseCommandItAnswers) {
    WaitEntry *first = add(ALPHA, 0x10);
    plat::Event *first_event = entry_event;
    WaitEntry *second = add(ALPHA, 0x10);
    plat::Event *second_event = entry_event;
    VuleRLSent(first, 101);
    VuleRLSent(second, 102);
    uint8_t message[8];
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 2, message, nullptr, 102), RL_OK);
    EXPECT_TRUE(is_set(second_event));
    EXPECT_FALSE(is_set(first_event));
    // An answer to a command no call waits for any more reaches nobody.
    EXPECT_EQ(VuleRLChange(ALPHA, 0x10, 7, message, nullptr, 103), RL_NOT_FOUND);
    EXPECT_FALSE(is_set(first_event));
    EXPECT_EQ(take(ALPHA, 0x10, second).code, 2);
    EXPECT_EQ(VuleRLDel(ALPHA, 0x10, first, nullptr, nullptr, nullptr), RL_OK);
}

TEST_F(WaitList, AnAnswerThatOvertakesItsSendIsHeldForIt) {
    WaitEntry *first = add(ALPHA, 0x10);
    plat::Event *first_event = entry_event;
    WaitEntry *second = add(ALPHA, 0x10);
    plat::Event *second_event = entry_event;
    // Both calls are still sending: the answer to the second one's command waits for it.
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 2, buffer(), nullptr, 202), RL_OK);
    uint8_t *stray = buffer();
    ASSERT_EQ(VuleRLChange(ALPHA, 0x10, 7, stray, nullptr, 999), RL_OK);
    EXPECT_FALSE(is_set(first_event));
    EXPECT_FALSE(is_set(second_event));
    VuleRLSent(first, 201);
    EXPECT_FALSE(is_set(first_event));
    VuleRLSent(second, 202);
    EXPECT_TRUE(is_set(second_event));
    EXPECT_FALSE(is_set(first_event));
    // Nobody claims the stray answer now: it was released (the leak checker would tell).
    free_buffer(take(ALPHA, 0x10, second).message);
    EXPECT_EQ(take(ALPHA, 0x10, first).message, nullptr);
}

TEST_F(WaitList, AnswerForAnUnknownKeyChangesNothing) {
    WaitEntry *waiting = add(ALPHA, 1);
    uint8_t message[8];
    EXPECT_EQ(VuleRLChange(ALPHA, 2, 0, message, nullptr, 0), RL_NOT_FOUND);
    EXPECT_FALSE(is_set(entry_event));
    Taken t = take(ALPHA, 1, waiting);
    EXPECT_EQ(t.code, 0);
    EXPECT_EQ(t.message, nullptr);
}

TEST_F(WaitList, TermExitWakesTheExitsWaitersAndClosesItsName) {
    WaitEntry *alpha[3] = {add(ALPHA, 10), add(ALPHA, 11), add(ALPHA, 10)};
    WaitEntry *answered = add(ALPHA, 12);
    uint8_t message[8];
    ASSERT_EQ(VuleRLChange(ALPHA, 12, 6, message, nullptr, 0), RL_OK);
    WaitEntry *beta = add(BETA, 10);
    plat::Event *beta_event = entry_event;

    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_OK);
    EXPECT_FALSE(is_set(beta_event, SETTLE_MS));
    for (int i = 0; i < 3; ++i) {
        Taken t = take(ALPHA, i == 1 ? 11 : 10, alpha[i]);
        EXPECT_EQ(t.code, VULE_EXIT_ENDED);
        EXPECT_EQ(t.message, nullptr);
    }
    // An answer that came before the end is kept for its call.
    EXPECT_EQ(take(ALPHA, 12, answered).code, 6);
    EXPECT_EQ(take(BETA, 10, beta).code, 0);

    // A call that adds itself after the end could never be answered; a new registration of
    // the name opens it again.
    WaitEntry *late = nullptr;
    plat::Event *event = nullptr;
    EXPECT_EQ(VuleRLAdd(ALPHA, 10, &late, &event), RL_ENDED);
    EXPECT_EQ(late, nullptr);
    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_NOT_FOUND);
    VuleRLOpenExit(ALPHA);
    late = add(ALPHA, 10);
    EXPECT_EQ(VuleRLDel(ALPHA, 10, late, nullptr, nullptr, nullptr), RL_OK);
}

TEST_F(WaitList, EndWaitAnswersAnEntryOnlyWhenNoAnswerCame) {
    WaitEntry *given_up = add(ALPHA, 3);
    plat::Event *given_up_event = entry_event;
    WaitEntry *answered = add(ALPHA, 3);
    VuleRLSent(given_up, 1);
    VuleRLSent(answered, 2);
    uint8_t message[8];
    ASSERT_EQ(VuleRLChange(ALPHA, 3, 0, message, nullptr, 2), RL_OK);
    VuleRLEndWait(given_up);
    VuleRLEndWait(answered);
    EXPECT_TRUE(is_set(given_up_event));
    Taken t = take(ALPHA, 3, answered);
    EXPECT_EQ(t.code, 0);
    EXPECT_EQ(t.message, message);
    t = take(ALPHA, 3, given_up);
    EXPECT_EQ(t.code, VULE_EXIT_ENDED);
    EXPECT_EQ(t.message, nullptr);
}

TEST_F(WaitList, EntryWhoseEventCannotBeCreatedIsNotLinked) {
    plat::fault_arm(plat::Fault::event_create, 0, 1);
    WaitEntry *entry = nullptr;
    plat::Event *event = nullptr;
    EXPECT_EQ(VuleRLAdd(ALPHA, 9, &entry, &event), RL_FAILED);
    EXPECT_EQ(event, nullptr);
    uint8_t message[8];
    EXPECT_EQ(VuleRLChange(ALPHA, 9, 0, message, nullptr, 0), RL_NOT_FOUND);

    plat::fault_arm(plat::Fault::alloc, 0, 1);
    EXPECT_EQ(VuleRLAdd(ALPHA, 9, &entry, &event), RL_FAILED);
    EXPECT_EQ(VuleRLChange(ALPHA, 9, 0, message, nullptr, 0), RL_NOT_FOUND);
}

TEST_F(WaitList, AbandonedMutexFailsOneCallAndFreesTheList) {
    std::thread([] { ASSERT_EQ(plat::mutex_acquire(wait_list_mutex), 0u); }).join();
    WaitEntry *entry = nullptr;
    plat::Event *event = nullptr;
    EXPECT_EQ(VuleRLAdd(ALPHA, 3, &entry, &event), RL_FAILED);
    EXPECT_EQ(event, nullptr);
    // The mutex is free again: the next operations go through without blocking.
    entry = add(ALPHA, 3);
    EXPECT_EQ(VuleRLDel(ALPHA, 3, entry, nullptr, nullptr, nullptr), RL_OK);
}

TEST(WaitListBeforeRegistration, FailsWithoutTheMutex) {
    if (wait_list_mutex != nullptr) GTEST_SKIP() << "needs a process of its own";
    WaitEntry *entry = nullptr;
    plat::Event *event = nullptr;
    EXPECT_EQ(VuleRLAdd(ALPHA, 1, &entry, &event), RL_FAILED);
    EXPECT_EQ(VuleRLTermExit(ALPHA), RL_FAILED);
}

}  // namespace
