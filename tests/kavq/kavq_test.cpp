// kavq_test.cpp — the list service: order of insertion at both ends, deletion anywhere, re-use.
#include "services/kavq/kavq.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Element {
    Element *next;  // owned by the list
    Element *prev;  // owned by the list
    int value;
};

// The values from first to last, after checking that walking back gives the same order.
std::vector<int> values(const EXQU_LIST_HEAD &head) {
    std::vector<int> forward;
    const Element *previous = nullptr;
    for (auto *e = static_cast<const Element *>(head.first); e != nullptr; e = e->next) {
        EXPECT_EQ(e->prev, previous);
        forward.push_back(e->value);
        previous = e;
    }
    EXPECT_EQ(head.last, previous);
    std::vector<int> backward;
    for (auto *e = static_cast<const Element *>(head.last); e != nullptr; e = e->prev) {
        backward.insert(backward.begin(), e->value);
    }
    EXPECT_EQ(forward, backward);
    return forward;
}

class ListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Garbage in the head and the links proves that nothing relies on zeroed memory.
        head_ = {&elements_[0], &elements_[1]};
        for (int i = 0; i < 5; ++i) elements_[i] = {&elements_[4], &elements_[3], i};
        ExquDllInitializeListToEmpty(&head_);
    }
    void append(std::initializer_list<int> which) {
        for (int i : which) ExquDllAddToEndOfList(&head_, &elements_[i]);
    }

    EXQU_LIST_HEAD head_;
    Element elements_[5];
};

TEST_F(ListTest, EndAndFrontInsertionKeepOrder) {
    append({0, 1, 2});
    EXPECT_EQ(values(head_), (std::vector<int>{0, 1, 2}));
    ExquDllAddToFrontOfList(&head_, &elements_[3]);
    ExquDllAddToFrontOfList(&head_, &elements_[4]);
    EXPECT_EQ(values(head_), (std::vector<int>{4, 3, 0, 1, 2}));
    EXPECT_EQ(ExquDllGetFirstFromList(&head_), &elements_[4]);  // and leaves it on
    EXPECT_EQ(values(head_), (std::vector<int>{4, 3, 0, 1, 2}));
}

TEST_F(ListTest, FrontInsertionIntoEmptyListSetsBothEnds) {
    ExquDllAddToFrontOfList(&head_, &elements_[2]);
    EXPECT_EQ(values(head_), (std::vector<int>{2}));
    ExquDllAddToEndOfList(&head_, &elements_[3]);
    EXPECT_EQ(values(head_), (std::vector<int>{2, 3}));
}

TEST_F(ListTest, DeleteFromFrontMiddleAndEnd) {
    append({0, 1, 2, 3, 4});
    ExquDllDeleteFromList(&head_, &elements_[0]);
    EXPECT_EQ(values(head_), (std::vector<int>{1, 2, 3, 4}));
    ExquDllDeleteFromList(&head_, &elements_[2]);
    EXPECT_EQ(values(head_), (std::vector<int>{1, 3, 4}));
    ExquDllDeleteFromList(&head_, &elements_[4]);
    EXPECT_EQ(values(head_), (std::vector<int>{1, 3}));
    ExquDllDeleteFromList(&head_, &elements_[1]);
    ExquDllDeleteFromList(&head_, &elements_[3]);
    EXPECT_EQ(ExquDllGetFirstFromList(&head_), nullptr);
    EXPECT_EQ(head_.last, nullptr);
}

TEST_F(ListTest, DeletedElementCanBeAddedAgain) {
    append({0, 1, 2});
    ExquDllDeleteFromList(&head_, &elements_[1]);
    ExquDllAddToFrontOfList(&head_, &elements_[1]);
    EXPECT_EQ(values(head_), (std::vector<int>{1, 0, 2}));
}

TEST_F(ListTest, SecondDeleteOfAnElementChangesNothing) {
    append({0, 1, 2});
    for (int i : {0, 1, 2}) {
        ExquDllDeleteFromList(&head_, &elements_[i]);
        ExquDllDeleteFromList(&head_, &elements_[i]);
    }
    append({3});
    ExquDllDeleteFromList(&head_, &elements_[0]);
    EXPECT_EQ(values(head_), (std::vector<int>{3}));
}

TEST_F(ListTest, InitialisedListIsEmptyAndReinitialisingForgetsElements) {
    EXPECT_EQ(ExquDllGetFirstFromList(&head_), nullptr);
    EXPECT_EQ(head_.last, nullptr);
    append({0, 1, 2});
    ExquDllInitializeListToEmpty(&head_);
    EXPECT_EQ(ExquDllGetFirstFromList(&head_), nullptr);
    append({2, 0});
    EXPECT_EQ(values(head_), (std::vector<int>{2, 0}));
}

TEST_F(ListTest, NullHeadOrElementChangesNothing) {
    append({0});
    ExquDllInitializeListToEmpty(nullptr);
    ExquDllAddToEndOfList(nullptr, &elements_[1]);
    ExquDllAddToFrontOfList(&head_, nullptr);
    ExquDllAddToEndOfList(&head_, nullptr);
    ExquDllDeleteFromList(&head_, nullptr);
    ExquDllDeleteFromList(nullptr, &elements_[0]);
    EXPECT_EQ(ExquDllGetFirstFromList(nullptr), nullptr);
    EXPECT_EQ(values(head_), (std::vector<int>{0}));
}

}  // namespace
