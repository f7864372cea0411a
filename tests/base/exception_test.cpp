// exception_test.cpp — the IException family: the logged lines, records that cannot be
// allocated, locations, the library-error throws and the allocation-failure handler.
#include <gtest/gtest.h>

#include <new>

#include "base/iexcbase.hpp"
#include "iexcept.hpp"
#include "istring.hpp"
#include "platform/platform.h"

namespace {

// Records every line written and every flush, and is the current trace function while it lives.
class Recorder : public IException::TraceFn {
  public:
    Recorder() : previous_(IException::setTraceFunction(this)) {}
    ~Recorder() { IException::setTraceFunction(previous_); }
    void write(const char *line) override { lines.emplace_back(line); }
    void flush() override { ++flushes; }

    std::vector<std::string> lines;
    int flushes = 0;

  private:
    IException::TraceFn *previous_;
};

const ISourceLocation kExitCtor(".\\vulece", "VuleCommandExit::VuleCommandExit", 167);

// What `log` prints to standard error while no memory can be had at all.
std::string printedWithoutMemory(const std::function<void()> &log) {
    testing::internal::CaptureStderr();
    plat::fault_arm(plat::Fault::alloc, 0, plat::FAIL_ALWAYS);
    log();
    plat::fault_clear();
    return testing::internal::GetCapturedStderr();
}

TEST(Exception, FailedAssertionsWriteFiveLinesAndThrow) {
    Recorder recorder;
    try {
        failStateAssertion("rc == VULE_OK", kExitCtor);
        FAIL() << "no throw";
    } catch (IInvalidRequest &e) {
        EXPECT_STREQ("IInvalidRequest", e.name());
        EXPECT_STREQ(L"IInvalidRequest", e.wideName());
        EXPECT_EQ(1u, e.errorId());
        EXPECT_TRUE(e.isRecoverable());
        EXPECT_STREQ("Other Error Group", e.errorCodeGroup());
        ASSERT_EQ(1u, e.locationCount());
        EXPECT_EQ(167u, e.locationAtIndex(0)->lineNumber());
        // The setters change the record, and chain.
        EXPECT_EQ(&e.setErrorId(9).setSeverity(2), &e);
        EXPECT_EQ(9u, e.errorId());
        EXPECT_EQ(2u, e.severity());
    }
    EXPECT_EQ(
        (std::vector<std::string>{
            "IInvalidRequest exception thrown.\n"
            "  function: VuleCommandExit::VuleCommandExit\n  file: .\\vulece\n  line: 167",
            "   Error Id is 1", "   Error Code group is Other Error Group", "   Exception text is:",
            "      The following expression must be true, but it evaluated to false: "
            "rc == VULE_OK."}),
        recorder.lines);
    EXPECT_EQ(1, recorder.flushes);
    // A failed parameter assertion throws IInvalidParameter.
    EXPECT_THROW(failParameterAssertion("p != 0", kExitCtor), IInvalidParameter);
    ASSERT_EQ(10u, recorder.lines.size());
    EXPECT_EQ("      The following expression must be true, but it evaluated to false: p != 0.",
              recorder.lines[9]);
}

// A record, a location or a group that cannot be allocated is logged as unavailable; setters
// without a record do nothing.
TEST(Exception, WhatCannotBeAllocatedIsLoggedUnavailable) {
    Recorder recorder;
    plat::fault_arm(plat::Fault::alloc, 0, plat::FAIL_ALWAYS);
    IInvalidRequest e("lost", 7, 1);
    e.addLocation(kExitCtor);
    plat::fault_clear();
    e.setErrorId(5).setSeverity(3);
    EXPECT_EQ(0u, e.errorId());
    EXPECT_FALSE(e.isRecoverable());
    EXPECT_EQ(nullptr, e.text());
    EXPECT_STREQ("Kestrel Class Library", e.errorCodeGroup());
    IInvalidRequest(e).logExceptionData();
    IDeviceError device("text", 9, 1);
    device.setErrorCodeGroup(nullptr);
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    device.addLocation(kExitCtor);
    plat::fault_clear();
    device.logExceptionData();
    EXPECT_EQ((std::vector<std::string>{
                  "\nIInvalidRequest exception thrown.\n   Location information is unavailable.",
                  "   Error Id is unavailable.", "   Error Code group is Kestrel Class Library",
                  "   Exception text is unavailable.",
                  "\nIDeviceError exception thrown.\n   Location information is unavailable.",
                  "   Error Id is 9", "   Error Code group is unavailable.",
                  "   Exception text is:", "      text"}),
              recorder.lines);
}

// Without a line buffer the same data is printed directly; with no memory at all, the string
// that needed one throws IOutOfMemory, printed the same way.
TEST(Exception, NoLineBufferPrintsTheSameDataDirectly) {
    Recorder recorder;
    IInvalidRequest e("first", 51, 1);
    e.addText("second");
    e.addLocation(ISourceLocation(".\\base\\ibuffer0", "IBuffer::overflow", 565));
    testing::internal::CaptureStderr();
    plat::fault_arm(plat::Fault::alloc, 0, 1);
    e.logExceptionData();
    plat::fault_clear();
    EXPECT_EQ(
        "IInvalidRequest exception thrown.\n   function: IBuffer::overflow\n"
        "   file: .\\base\\ibuffer0\n   line: 565.\n"
        "   Error ID is 51\n   Error Code group is Kestrel Class Library\n"
        "   Exception text is:\n      second\n      first\n",
        testing::internal::GetCapturedStderr());
    EXPECT_EQ(printedWithoutMemory([] { EXPECT_THROW(IString("abc"), IOutOfMemory); }),
              "\nIOutOfMemory exception thrown.\n   Location information is unavailable.\n"
              "   Error ID is unavailable.\n   Error Code group is Kestrel Class Library\n"
              "   Exception text is unavailable.\n");
    EXPECT_TRUE(recorder.lines.empty());
}

TEST(Exception, SixthLocationReplacesTheFifthAndTheNewestIsLogged) {
    Recorder recorder;
    IAccessError e("text", 3, 1);
    for (uint32_t line = 1; line <= 6; ++line) e.addLocation(ISourceLocation("f", "fn", line));
    IAccessError copy(e);
    for (const IAccessError &x : {e, copy}) {
        ASSERT_EQ(5u, x.locationCount());
        EXPECT_EQ(4u, x.locationAtIndex(3)->lineNumber());
        EXPECT_EQ(6u, x.locationAtIndex(4)->lineNumber());
        EXPECT_EQ(nullptr, x.locationAtIndex(5));
    }
    e.logExceptionData();
    EXPECT_EQ("IAccessError exception thrown.\n  function: fn\n  file: f\n  line: 6",
              recorder.lines.at(0));
}

TEST(Exception, ThrowLibraryErrorThrowsTheClassOfEachTypeCode) {
    Recorder recorder;
    std::string names;
    for (uint32_t type = 0; type < 8; ++type) {
        try {
            throwLibraryError(51, kExitCtor, type, 1);
        } catch (IException &e) {
            names += std::string(e.name()) + " ";
            EXPECT_EQ(51u, e.errorId());
            EXPECT_STREQ("Kestrel Class Library", e.errorCodeGroup());
            EXPECT_STREQ("Attempt to allocate an IString that is too big.", e.text());
        }
    }
    EXPECT_EQ(names,
              "IAccessError IDeviceError IInvalidParameter IInvalidRequest IOutOfSystemResource "
              "IOutOfWindowResource IOutOfMemory IResourceExhausted ");
    EXPECT_NO_THROW(throwLibraryError(51, kExitCtor, 8, 1));
    EXPECT_EQ(8u * 5u, recorder.lines.size());
    try {
        throwLibraryError(2, kExitCtor, 3, 1);  // a message without a text says so
    } catch (IInvalidRequest &e) {
        EXPECT_STREQ("Unable to load text from message file.", e.text());
    }
}

// Installed at load; another handler puts the previous handler and trace function back.
TEST(Exception, AllocationFailureHandlerThrowsOutOfMemory) {
    ASSERT_EQ(&IOutOfMemoryHandler::newHandler, std::get_new_handler());
    IException::TraceFn *before = &IException::traceFunction();
    {
        IOutOfMemoryHandler second;
        EXPECT_EQ(&second, &IException::traceFunction());
        EXPECT_EQ(&IOutOfMemoryHandler::newHandler, std::get_new_handler());
    }
    EXPECT_EQ(before, &IException::traceFunction());
    EXPECT_EQ(&IOutOfMemoryHandler::newHandler, std::get_new_handler());
    Recorder recorder;
    try {
        std::get_new_handler()();
    } catch (IOutOfMemory &e) {
        EXPECT_EQ(4u, e.errorId());
        EXPECT_FALSE(e.isRecoverable());
        EXPECT_STREQ("Out of memory; unable to allocate memory.", e.text());
        EXPECT_STREQ(".\\base\\iexcbase", e.locationAtIndex(0)->fileName());
        EXPECT_STREQ("IOutOfMemoryHandler::newHandler", e.locationAtIndex(0)->functionName());
        EXPECT_EQ(129u, e.locationAtIndex(0)->lineNumber());
    }
    EXPECT_EQ(5u, recorder.lines.size());
}

}  // namespace
