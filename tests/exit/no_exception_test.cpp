// no_exception_test.cpp — allocations that fail inside the C calls, linked as an exit program links
// them (shared, with the support library's new-handler that throws its IOutOfMemory): each call
// answers with its out-of-memory code, no exception leaves it, and the next call works.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "kaviexit.h"
#include "services/kavzras/kavzras.h"
#include "tests/support/child_process.h"

namespace {

thread_local bool failing = false;

constexpr uint32_t THREW = 0xDEADu;

// without_memory: what call returns with every allocation of this thread failing, or THREW when
// an exception left it.
template <class Call>
uint32_t without_memory(Call &&call) {
    uint32_t rc = THREW;
    failing = true;
    try {
        rc = static_cast<uint32_t>(call());
    } catch (...) {
    }
    failing = false;
    return rc;
}

}  // namespace

void *operator new(std::size_t size) {
    if (!failing) {
        if (void *p = std::malloc(size != 0 ? size : 1)) return p;
    }
    if (std::new_handler handler = std::get_new_handler()) handler();
    throw std::bad_alloc();
}

// The other forms go through the two above, so every allocation and release meets in them.
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void *operator new[](std::size_t size) {
    return ::operator new(size);
}

void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept {
    return ::operator new(size, tag);
}

void operator delete(void *p) noexcept {
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}

void operator delete[](void *p) noexcept {
    std::free(p);
}

void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}

void operator delete[](void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}

namespace {

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *) {
    return 0x42;
}

TEST(NoException, TheSupportLibraryHandlerIsTheOneThatFails) {
    // What the calls below meet is not a std::bad_alloc, which would be caught here.
    EXPECT_EQ(without_memory([] {
                  try {
                      ::operator delete(::operator new(64));
                  } catch (const std::bad_alloc &) {
                  }
                  return 0;
              }),
              THREW);
}

TEST(NoException, RegistrationAnswersNoMemory) {
    EXPECT_EQ(without_memory([] { return KaviInit("nomem", answer, 1); }), VULE_NO_MEMORY);
    EXPECT_EQ(without_memory([] { return KaviInitialize("nomem", answer); }), VULE_NO_MEMORY);
    ASSERT_EQ(KaviInit("nomem", answer, 1), VULE_OK);
    EXPECT_EQ(KaviTerminate("nomem"), uint32_t{VULE_OK});
}

TEST(NoException, SendAnswersSystemErrorAndTheNextSendWorks) {
    ASSERT_EQ(KaviInit("alpha", answer, 1), VULE_OK);
    ASSERT_EQ(KaviInit("beta", answer, 1), VULE_OK);
    _VULE_PARAMETERS32 b{};
    EXPECT_EQ(without_memory([&] { return KaviSend("ALPHA   ", "beta", " ", &b); }),
              uint32_t{VULE_SYSTEM_ERROR});
    EXPECT_EQ(KaviSend("ALPHA   ", "beta", " ", &b), 0x42u);
    EXPECT_NE(without_memory([] { return KaviWait("alpha", 0); }), THREW);
    EXPECT_NE(without_memory([] { return KaviTerminate("beta"); }), THREW);
    EXPECT_EQ(KaviTerminate("alpha"), uint32_t{VULE_OK});
}

TEST(NoException, TraceAndErrorLogCallsLoseTheirRecordOnly) {
    const std::string path = kavitest::make_temp_dir() + "/no_exception";
    setenv("KAVZ_ERRLOG", (path + ".log").c_str(), 1);
    setenv("KAVZ_TRACE_FILE", (path + ".trc").c_str(), 1);
    setenv("KAVZ_TRACE_MASK", "0x700", 1);
    VULZ_TRACE_CONTROL *control = nullptr;
    EXPECT_EQ(without_memory([&] { return (VULZINITTRACE("TEST", "", &control), 0); }), 0u);
    EXPECT_EQ(without_memory([] { return (VULZLOGERROR("test", 1, 2, 3, VULZ_LEVEL, 0), 0); }), 0u);
    EXPECT_EQ(
        without_memory([] { return (VULZTRACE("test", 1, VULZ_KIND_ENTRY, VULZ_LEVEL, 0), 0); }),
        0u);
}

}  // namespace
