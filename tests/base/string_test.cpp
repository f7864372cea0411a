// string_test.cpp — IString: the shared empty buffer, in-place appends, trimming, conversions,
// the size limit, copies shared across threads and the double-byte environment.
#include <gtest/gtest.h>

#include <cctype>
#include <thread>

#include "base/ibuffer.hpp"
#include "iexcept.hpp"
#include "istring.hpp"
#include "tests/support/child_process.h"

namespace {

std::string str(const IString &s) {
    return std::string(s, s.length());
}
const char *text(const IString &s) {
    return s;
}
int useCount(const IString &s) {
    return IBuffer::fromText(const_cast<char *>(text(s)))->useCount();
}
IString trimmed(const char *s) {
    return IString(s).trimTrailing(IStringTest(isspace));
}

static_assert(sizeof(IString) == sizeof(void *), "an IString is one pointer");

TEST(String, ConstructionAndConversions) {
    // A null text and a zero length share the empty buffer.
    for (const IString &empty : {IString(static_cast<const char *>(nullptr)), IString("abc", 0),
                                 IString(""), trimmed("   "), trimmed("")})
        EXPECT_EQ(text(IString()), text(empty));
    EXPECT_EQ("202020", str(IString(nullptr, 3, ' ').bytesToHex()));  // no text: the pads
    EXPECT_EQ("610062", str(IString("a\0b", 3).bytesToHex()));
    EXPECT_EQ(
        "-5 -32768 4294967295 65535 -2147483648 0",
        str(IString(-5) + " " + IString(short{-32768}) + " " + IString(4294967295u) + " " +
            IString((unsigned short)65535) + " " + IString(-2147483647L - 1) + " " + IString(0UL)));
    std::string hex;
    for (const char *decimal :
         {"0", "1", "255", "256", "1245000", "4294967295", "9999999999", "0004294967296",
          "1234567890123456789012345", "-5", "+5", "12a", ""})
        hex += str(IString(decimal).decimalToHex()) + " ";
    EXPECT_EQ(hex,
              "00 01 FF 0100 12FF48 FFFFFFFF 02540BE3FF 0100000000 01056E0F36A6443DE2DF79     ");
    EXPECT_EQ(std::string("\xFF", 1), str(IString("255").decimalToBytes()));
    EXPECT_EQ(std::string("\x01\x00", 2), str(IString("256").decimalToBytes()));
    EXPECT_EQ(std::string("\x00", 1), str(IString("000").decimalToBytes()));
}

// Room in place is (length OR 31) + 1 - length and must also hold the NUL.
TEST(String, AppendsInPlaceOnlyWhenSoleOwnerAndItFits) {
    // A text and an IString appended; 32 + 31 still fits the 64 bytes of a 32-byte string.
    for (auto [length, appended, inPlace] :
         {std::tuple{30u, 1u, true}, {31u, 1u, false}, {32u, 31u, true}}) {
        IString s(nullptr, length, 'a');
        const char *before = s;
        appended == 1 ? s += "b" : s += IString(nullptr, appended, 'b');
        EXPECT_EQ(inPlace, before == text(s)) << length;
        EXPECT_EQ(std::string(length, 'a') + std::string(appended, 'b'), str(s));
        if (!inPlace) continue;
        s += "d";
        EXPECT_NE(before, text(s)) << "a full buffer grows";
    }
    IString original("abc"), copy(original);
    EXPECT_EQ(2, useCount(original));
    copy += "def";
    EXPECT_EQ("abc", str(original));
    EXPECT_EQ("abcdef", str(copy));
    EXPECT_EQ(1, useCount(original));
    IString s;
    s += static_cast<const char *>(nullptr);
    s += IString();
    EXPECT_EQ(text(IString()), text(s));
    s += "xy";
    s += s;
    EXPECT_EQ("xyxy", str(s));
    EXPECT_EQ("<xyxy", str("<" + s));
    EXPECT_EQ("xyxy", str(static_cast<const char *>(nullptr) + s));
}

TEST(String, TrimTrailingWhiteSpace) {
    IString abc("ABC");
    const char *before = abc;
    EXPECT_EQ(before, text(abc.trimTrailing(IStringTest(isspace))));
    EXPECT_EQ("ABC", str(trimmed("ABC  ")));
    EXPECT_EQ("A B", str(trimmed("A B\t\n ")));
    // The test sees a byte above 0x7F as negative, as a signed char.
    static int lastSeen;
    IString("\xE9").trimTrailing(IStringTest([](int c) { return (lastSeen = c), 1; }));
    EXPECT_EQ(-23, lastSeen);
}

TEST(String, TooBigThrowsInvalidRequest51) {
    try {
        IString huge(nullptr, 0xFFFFFFF0u, ' ');
        FAIL() << "no throw";
    } catch (IInvalidRequest &e) {
        EXPECT_EQ(51u, e.errorId());
        EXPECT_EQ(1u, e.severity());
        EXPECT_STREQ("Kestrel Class Library", e.errorCodeGroup());
        EXPECT_STREQ("Attempt to allocate an IString that is too big.", e.text());
        ASSERT_EQ(1u, e.locationCount());
        EXPECT_STREQ(".\\base\\ibuffer0", e.locationAtIndex(0)->fileName());
        EXPECT_STREQ("IBuffer::overflow", e.locationAtIndex(0)->functionName());
        EXPECT_EQ(565u, e.locationAtIndex(0)->lineNumber());
    }
    EXPECT_EQ(0xFFFFFFFEu, IBuffer::checkedAdd(0xFFFFFFFDu, 1));
    EXPECT_THROW(IBuffer::checkedAdd(0xFFFFFFFEu, 1), IInvalidRequest);
}

TEST(String, CopiesSharedAcrossThreads) {
    IString shared(nullptr, 40, 's');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, t] {
            for (int i = 0; i < 2000; ++i) {
                IString copy(shared);
                IString again = copy;
                again += IString(t);
                if (again.length() != 41) abort();
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(1, useCount(shared));
    EXPECT_EQ(std::string(40, 's'), str(shared));
}

// The double-byte decision is made once per process, so each environment gets a process.
int inChild(std::vector<std::string> args, const char *table, std::vector<std::string> env = {}) {
    args.insert(args.begin(), kavitest::executable_dir() + "/base_dbcs_child");
    if (table != nullptr) env.push_back(std::string("IDBCSTABLE=") + table);
    return kavitest::Child::spawn(args, env).wait(10000);
}

TEST(String, DoubleByteTrimKeepsALeadByteWithItsTrailer) {
    EXPECT_EQ(0, inChild({"trim", "AB\x81  ", "AB\x81 "}, "\x81\x82"));
    EXPECT_EQ(0, inChild({"trim", "AB\x81 \x81  ", "AB\x81 \x81 "}, "\x81"));
    EXPECT_EQ(0, inChild({"trim", "   ", ""}, "\x81"));
    EXPECT_EQ(0, inChild({"trim", "AB \x81", "AB \x81"}, "\x81"));
    EXPECT_EQ(0, inChild({"trim", "AB\x81  ", "AB\x81"}, nullptr));
    EXPECT_EQ(0, inChild({"trim", "AB\x81  ", "AB\x81"}, ""));
    // The empty buffer and the decision are made once, whichever thread comes first.
    EXPECT_EQ(0, inChild({"race"}, "\x81"));
    // OPTRC_I18N leaves the decision to the locale, whose C form has single-byte characters.
    EXPECT_EQ(2, inChild({"race"}, nullptr, {"OPTRC_I18N=on"}));
}

}  // namespace
