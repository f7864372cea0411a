// system_test.cpp — pointer readability against real mappings, narrow upper-casing, the
// environment, zeroed memory and the code page.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

class PointerReadable : public ::testing::Test {
  protected:
    // Four pages: readable, readable, PROT_NONE, unmapped.
    void SetUp() override {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *p =
            mmap(nullptr, 4 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        base_ = static_cast<char *>(p);
        ASSERT_EQ(mprotect(base_ + 2 * page_, page_, PROT_NONE), 0);
        ASSERT_EQ(munmap(base_ + 3 * page_, page_), 0);
    }
    void TearDown() override { munmap(base_, 3 * page_); }
    size_t page_ = 0;
    char *base_ = nullptr;
};

TEST_F(PointerReadable, AnswersForEachKindOfRange) {
    EXPECT_TRUE(plat::pointer_readable(base_, 1));
    EXPECT_TRUE(plat::pointer_readable(base_, 2 * page_));
    EXPECT_TRUE(plat::pointer_readable(base_ + 2 * page_ - 1, 1));
    EXPECT_TRUE(plat::pointer_readable(base_ + 2 * page_, 0));  // nothing to read
    EXPECT_FALSE(plat::pointer_readable(base_ + 2 * page_, 1));
    EXPECT_FALSE(plat::pointer_readable(base_ + 3 * page_, 1));
    // Partly readable ranges: the readable start must not make the whole range pass.
    EXPECT_FALSE(plat::pointer_readable(base_ + 2 * page_ - 1, 2));
    EXPECT_FALSE(plat::pointer_readable(base_, 3 * page_));
    EXPECT_FALSE(plat::pointer_readable(base_ + page_ + 10, 2 * page_ + 10));
}

// Many ranges in one request: one bad range fails them all, wherever it stands, also after
// more page probes than one request carries.
TEST_F(PointerReadable, RangesTogether) {
    const plat::ReadRange good[] = {{base_, 1}, {base_ + page_, page_}, {base_ + 5, 0}};
    EXPECT_TRUE(plat::pointers_readable(good, 3));
    EXPECT_TRUE(plat::pointers_readable(nullptr, 0));
    EXPECT_FALSE(plat::pointers_readable(nullptr, 1));
    for (const plat::ReadRange bad :
         {plat::ReadRange{base_ + 2 * page_, 1}, plat::ReadRange{base_ + 2 * page_ - 1, 2},
          plat::ReadRange{base_ + 3 * page_, 1}, plat::ReadRange{nullptr, 0}}) {
        std::vector<plat::ReadRange> ranges(100, plat::ReadRange{base_, 2 * page_});
        ranges.push_back(bad);
        EXPECT_FALSE(plat::pointers_readable(ranges.data(), ranges.size()));
        ranges.insert(ranges.begin(), bad);
        ranges.pop_back();
        EXPECT_FALSE(plat::pointers_readable(ranges.data(), ranges.size()));
        ranges.erase(ranges.begin());
        EXPECT_TRUE(plat::pointers_readable(ranges.data(), ranges.size()));
    }
}

TEST(PointerReadableAddresses, NullKernelAndWrappingAreNotReadable) {
    EXPECT_FALSE(plat::pointer_readable(nullptr, 0));
    EXPECT_FALSE(plat::pointer_readable(nullptr, 1));
    EXPECT_FALSE(plat::pointer_readable(reinterpret_cast<void *>(UINTPTR_MAX - 15), 1));
    EXPECT_FALSE(plat::pointer_readable(reinterpret_cast<void *>(0xffff800000000000ULL), 8));
    char local = 'x';
    EXPECT_TRUE(plat::pointer_readable(&local, 1));
    EXPECT_FALSE(plat::pointer_readable(&local, SIZE_MAX));
}

TEST(PointerReadableAddresses, LargeRangeSpanningManyPages) {
    std::vector<char> big(3 * 1024 * 1024 + 7);
    EXPECT_TRUE(plat::pointer_readable(big.data(), big.size()));
}

TEST(UpperCase, ChangesOnlyAsciiLetters) {
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    std::string upper = all;
    plat::upper_case(upper.data());
    ASSERT_EQ(upper.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(all[i]);
        unsigned char expected = b >= 'a' && b <= 'z' ? b - 'a' + 'A' : b;
        EXPECT_EQ(static_cast<unsigned char>(upper[i]), expected) << "byte " << int(b);
    }
    plat::upper_case(nullptr);
}

TEST(Environment, SetEmptyAndUnset) {
    std::string value = "untouched";
    unsetenv("KAVI_PLATFORM_TEST_VAR");
    EXPECT_FALSE(plat::env_get("KAVI_PLATFORM_TEST_VAR", &value));
    EXPECT_EQ(value, "untouched");
    setenv("KAVI_PLATFORM_TEST_VAR", "", 1);
    EXPECT_TRUE(plat::env_get("KAVI_PLATFORM_TEST_VAR", &value));
    EXPECT_EQ(value, "");
    setenv("KAVI_PLATFORM_TEST_VAR", "a b", 1);
    EXPECT_TRUE(plat::env_get("KAVI_PLATFORM_TEST_VAR", &value));
    EXPECT_EQ(value, "a b");
    unsetenv("KAVI_PLATFORM_TEST_VAR");
}

TEST(Memory, ZeroedAndNeverNullForZeroBytes) {
    auto *p = static_cast<unsigned char *>(plat::alloc_zeroed(4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
    plat::mem_free(p);
    void *empty = plat::alloc_zeroed(0);
    EXPECT_NE(empty, nullptr);
    plat::mem_free(empty);
    plat::mem_free(nullptr);
}

TEST(CodePage, NoLeadBytes) {
    bool lead[256];
    for (bool &b : lead) b = true;
    EXPECT_FALSE(plat::code_page_lead_bytes(lead));
    for (bool b : lead) EXPECT_FALSE(b);
}

}  // namespace
