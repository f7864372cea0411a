// no_exception_test.cpp — allocations that fail inside the C calls of the libraries, linked as an
// exit program links them (shared, with the support library's new-handler installed): each call
// answers with its out-of-memory code, no exception leaves it, and the next call works.
//
// Allocations fail as they do for real: operator new asks the process's new-handler, which
// libkaviexit's support library sets to throw its IOutOfMemory (no std::bad_alloc), and throws
// std::bad_alloc when there is none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"
#include "services/kavzras/kavzras.h"

namespace {

thread_local bool failing = false;

// without_memory: runs call with every allocation of this thread failing; false when an
// exception left it.
template <class Call>
bool without_memory(Call &&call) {
    bool returned = true;
    failing = true;
    try {
        call();
    } catch (...) {
        returned = false;
    }
    failing = false;
    return returned;
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
    // What the calls below meet is not a std::bad_alloc.
    bool bad_alloc = false;
    bool other = false;
    failing = true;
    try {
        ::operator delete(::operator new(64));
    } catch (const std::bad_alloc &) {
        bad_alloc = true;
    } catch (...) {
        other = true;
    }
    failing = false;
    EXPECT_FALSE(bad_alloc);
    EXPECT_TRUE(other);
}

TEST(NoException, RegistrationAnswersNoMemory) {
    int rc = 0;
    EXPECT_TRUE(without_memory([&] { rc = KaviInit("nomem", answer, 1); }));
    EXPECT_EQ(rc, VULE_NO_MEMORY);
    EXPECT_TRUE(without_memory([&] { rc = KaviInitialize("nomem", answer); }));
    EXPECT_EQ(rc, VULE_NO_MEMORY);
    ASSERT_EQ(KaviInit("nomem", answer, 1), VULE_OK);
    EXPECT_EQ(KaviTerminate("nomem"), uint32_t{VULE_OK});
}

TEST(NoException, SendAnswersSystemErrorAndTheNextSendWorks) {
    ASSERT_EQ(KaviInit("alpha", answer, 1), VULE_OK);
    ASSERT_EQ(KaviInit("beta", answer, 1), VULE_OK);
    _VULE_PARAMETERS32 block{};
    uint32_t rc = 0;
    EXPECT_TRUE(without_memory([&] { rc = KaviSend("ALPHA   ", "beta", " ", &block); }));
    EXPECT_EQ(rc, uint32_t{VULE_SYSTEM_ERROR});
    EXPECT_EQ(KaviSend("ALPHA   ", "beta", " ", &block), 0x42u);
    EXPECT_TRUE(without_memory([&] { rc = KaviWait("alpha", 0); }));
    EXPECT_TRUE(without_memory([&] { rc = KaviTerminate("beta"); }));
    EXPECT_EQ(KaviTerminate("alpha"), uint32_t{VULE_OK});
}

TEST(NoException, ServiceCallsAnswerNoMemory) {
    auto start = kavc::request_for<VULC_STRTCOM>("NOMEM   ");
    uint32_t rc = 0;
    EXPECT_TRUE(without_memory([&] { rc = vulcstrtcom(&start); }));
    EXPECT_EQ(rc, VULC_NO_MEMORY);
    EXPECT_EQ(start.head.rc, VULC_NO_MEMORY);

    VULC_TASKINFO tasks[4];
    uint32_t count = 0;
    EXPECT_TRUE(without_memory([&] { rc = vulclisttasks(tasks, 4, &count); }));
    EXPECT_EQ(rc, VULC_NO_MEMORY);
    EXPECT_TRUE(without_memory([&] { rc = vulcshutdown(&count); }));
    EXPECT_EQ(rc, VULC_NO_MEMORY);

    // Started for real, a task sends and receives without memory for either.
    ASSERT_EQ(vulcstrtcom(&start), VULC_OK);
    auto alloc = kavc::request_for<VULC_ALCMEM>("NOMEM   ");
    alloc.size = 200;
    ASSERT_EQ(vulcalcmem(&alloc), VULC_OK);
    auto send = kavc::request_for<VULC_SNDDATA>("NOMEM   ");
    std::memcpy(send.dest_app, "NOMEM   ", 8);
    auto check = kavc::request_for<VULC_CHECKTASK>("NOMEM   ");
    ASSERT_EQ(vulcchecktask(&check), VULC_OK);
    std::memcpy(send.dest_node, check.node, 24);
    send.send_length = 200;
    send.buffer = alloc.buffer;
    EXPECT_TRUE(without_memory([&] { rc = vulcsnddata(&send); }));
    EXPECT_EQ(rc, VULC_NO_MEMORY);
    EXPECT_EQ(vulcsnddata(&send), VULC_OK);
    auto release = kavc::request_for<VULC_FREEMEM>("NOMEM   ");
    release.buffer = alloc.buffer;
    EXPECT_EQ(vulcfreemem(&release), VULC_OK);
    auto stop = kavc::request_for<VULC_STOPCOM>("NOMEM   ");
    EXPECT_EQ(vulcstopcom(&stop), VULC_OK);
}

TEST(NoException, TraceAndErrorLogCallsLoseTheirRecordOnly) {
    const std::string long_path = "/tmp/kavi_no_exception_test_" + std::to_string(getpid());
    setenv("KAVZ_ERRLOG", (long_path + ".log").c_str(), 1);
    setenv("KAVZ_TRACE_FILE", (long_path + ".trc").c_str(), 1);
    setenv("KAVZ_TRACE_MASK", "0x700", 1);
    VULZ_TRACE_CONTROL *control = nullptr;
    EXPECT_TRUE(without_memory([&] { VULZINITTRACE("TEST", "", &control); }));
    EXPECT_TRUE(without_memory([] { VULZLOGERROR("test", 1, 2, 3, VULZ_LEVEL, 0); }));
    EXPECT_TRUE(without_memory([] { VULZTRACE("test", 1, VULZ_KIND_ENTRY, VULZ_LEVEL, 0); }));
    std::remove((long_path + ".log").c_str());
    std::remove((long_path + ".trc").c_str());
}

}  // namespace
