// kavq_test.cpp — the list service: order of insertion at both ends, deletion anywhere, re-use.
#include "services/kavq/kavq.h"

#include <gtest/gtest.h>

namespace {

struct Element {
    Element *next;  // owned by the list
    Element *prev;  // owned by the list
    int value;
};

class ListTest : public ::testing::Test {
  protected:
    // Garbage in the head and the links proves that nothing relies on zeroed memory.
    void SetUp() override {
        head_ = {&e_[0], &e_[1]};
        for (int i = 0; i < 5; ++i) e_[i] = {&e_[4], &e_[3], i};
        ExquDllInitializeListToEmpty(&head_);
    }
    void append(std::initializer_list<int> which) {
        for (int i : which) ExquDllAddToEndOfList(&head_, &e_[i]);
    }
    // The values from first to last, after checking that the links agree both ways.
    std::vector<int> values() {
        std::vector<int> forward;
        const Element *previous = nullptr;
        for (auto *e = static_cast<const Element *>(head_.first); e != nullptr; e = e->next) {
            EXPECT_EQ(e->prev, previous);
            forward.push_back(e->value);
            previous = e;
        }
        EXPECT_EQ(head_.last, previous);
        EXPECT_EQ(ExquDllGetFirstFromList(&head_), head_.first);  // and leaves it on
        return forward;
    }
    EXQU_LIST_HEAD head_;
    Element e_[5];
};

TEST_F(ListTest, EndAndFrontInsertionKeepOrder) {
    EXPECT_EQ(ExquDllGetFirstFromList(&head_), nullptr);
    EXPECT_EQ(head_.last, nullptr);
    ExquDllAddToFrontOfList(&head_, &e_[2]);  // into the empty list: both ends
    EXPECT_EQ(values(), (std::vector<int>{2}));
    append({0, 1});
    ExquDllAddToFrontOfList(&head_, &e_[3]);
    ExquDllAddToFrontOfList(&head_, &e_[4]);
    EXPECT_EQ(values(), (std::vector<int>{4, 3, 2, 0, 1}));
    ExquDllInitializeListToEmpty(&head_);  // forgets the elements
    append({2, 0});
    EXPECT_EQ(values(), (std::vector<int>{2, 0}));
}

// Deletion from front, middle and end; a second delete changes nothing; deleted ones come back.
TEST_F(ListTest, DeleteAnywhereOnceAndAddAgain) {
    append({0, 1, 2, 3, 4});
    for (auto [gone, left] : {std::pair{0, std::vector<int>{1, 2, 3, 4}},
                              {2, {1, 3, 4}},
                              {4, {1, 3}},
                              {4, {1, 3}},
                              {0, {1, 3}}}) {
        ExquDllDeleteFromList(&head_, &e_[gone]);
        EXPECT_EQ(values(), left) << "deleted " << gone;
    }
    ExquDllAddToFrontOfList(&head_, &e_[2]);
    ExquDllAddToEndOfList(&head_, &e_[0]);
    EXPECT_EQ(values(), (std::vector<int>{2, 1, 3, 0}));
    for (int i : {1, 3, 2, 0}) ExquDllDeleteFromList(&head_, &e_[i]);
    EXPECT_EQ(values(), std::vector<int>{});
}

// A null head or element changes nothing.
TEST_F(ListTest, NullHeadOrElementChangesNothing) {
    append({0});
    ExquDllInitializeListToEmpty(nullptr);
    for (auto call : {ExquDllAddToEndOfList, ExquDllAddToFrontOfList, ExquDllDeleteFromList}) {
        call(nullptr, &e_[0]);
        call(&head_, nullptr);
    }
    EXPECT_EQ(ExquDllGetFirstFromList(nullptr), nullptr);
    EXPECT_EQ(values(), (std::vector<int>{0}));
}

}  // namespace
