// string_test.cpp — IString: the shared empty buffer, in-place appends, trimming, conversions,
// the size limit, copies shared across threads and the double-byte environment.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "base/ibuffer.hpp"
#include "iexcept.hpp"
#include "istring.hpp"
#include "tests/support/child_process.h"

namespace {

const IStringTest kWhiteSpace(isspace);

std::string str(const IString &s) {
    return std::string(s, s.length());
}
int useCount(const IString &s) {
    return IBuffer::fromText(const_cast<char *>(+s))->useCount();
}

static_assert(sizeof(IString) == sizeof(void *), "an IString is one pointer");

TEST(String, NullTextAndZeroLengthShareTheEmptyBuffer) {
    IString none;
    IString fromNull(static_cast<const char *>(nullptr));
    IString zero("abc", 0);
    IString emptyText("");
    EXPECT_EQ(0u, fromNull.length());
    EXPECT_STREQ("", fromNull);
    EXPECT_EQ(static_cast<const char *>(none), static_cast<const char *>(fromNull));
    EXPECT_EQ(static_cast<const char *>(none), static_cast<const char *>(zero));
    EXPECT_EQ(static_cast<const char *>(none), static_cast<const char *>(emptyText));
}

TEST(String, NullPointerWithPadGivesPadsAndBytesMayHoldNul) {
    EXPECT_EQ("202020", str(IString(nullptr, 3, ' ').bytesToHex()));
    IString bytes("a\0b", 3);
    EXPECT_EQ(3u, bytes.length());
    EXPECT_EQ("610062", str(bytes.bytesToHex()));
}

TEST(String, NumbersInDecimal) {
    EXPECT_EQ("-5", str(IString(-5)));
    EXPECT_EQ("-32768", str(IString(static_cast<short>(-32768))));
    EXPECT_EQ("4294967295", str(IString(4294967295u)));
    EXPECT_EQ("65535", str(IString(static_cast<unsigned short>(65535))));
    EXPECT_EQ("-2147483648", str(IString(-2147483647L - 1)));
    EXPECT_EQ("0", str(IString(0UL)));
}

// Room in place is (length OR 31) + 1 - length and must also hold the NUL.
TEST(String, AppendsInPlaceOnlyWhenSoleOwnerAndItFits) {
    // A text and an IString appended; 32 + 31 still fits the 64 bytes of a 32-byte string.
    struct Case {
        uint32_t length, appended;
        bool inPlace;
    };
    for (const Case &c : {Case{30, 1, true}, Case{31, 1, false}, Case{32, 31, true}}) {
        IString s(nullptr, c.length, 'a');
        const char *before = s;
        if (c.appended == 1)
            s += "b";
        else
            s += IString(nullptr, c.appended, 'b');
        EXPECT_EQ(c.inPlace, before == static_cast<const char *>(s)) << c.length;
        EXPECT_EQ(std::string(c.length, 'a') + std::string(c.appended, 'b'), str(s));
        if (!c.inPlace) continue;
        s += "d";
        EXPECT_NE(before, static_cast<const char *>(s)) << "a full buffer grows";
    }
}

TEST(String, AppendToASharedBufferLeavesTheOtherCopyAlone) {
    IString original("abc");
    IString copy(original);
    EXPECT_EQ(2, useCount(original));
    copy += "def";
    EXPECT_EQ("abc", str(original));
    EXPECT_EQ("abcdef", str(copy));
    EXPECT_EQ(1, useCount(original));
}

TEST(String, AppendNothingAndToEmpty) {
    IString s;
    s += static_cast<const char *>(nullptr);
    s += IString();
    EXPECT_EQ(0u, s.length());
    s += "xy";
    s += s;
    EXPECT_EQ("xyxy", str(s));
    EXPECT_EQ("<xyxy", str("<" + s));
    EXPECT_EQ("xyxy", str(static_cast<const char *>(nullptr) + s));
}

TEST(String, TrimTrailingWhiteSpace) {
    IString abc("ABC");
    const char *before = abc;
    EXPECT_EQ(before, static_cast<const char *>(abc.trimTrailing(kWhiteSpace)));
    EXPECT_EQ("ABC", str(IString("ABC  ").trimTrailing(kWhiteSpace)));
    EXPECT_EQ("A B", str(IString("A B\t\n ").trimTrailing(kWhiteSpace)));
    IString blanks("   ");
    EXPECT_EQ(static_cast<const char *>(IString()),
              static_cast<const char *>(blanks.trimTrailing(kWhiteSpace)));
    EXPECT_EQ(0u, IString().trimTrailing(kWhiteSpace).length());
    // The test sees a byte above 0x7F as negative, as a signed char.
    static int lastSeen;
    IString("\xE9").trimTrailing(IStringTest([](int c) { return (lastSeen = c), 1; }));
    EXPECT_EQ(-23, lastSeen);
}

TEST(String, DecimalToHexAndToBytes) {
    const std::pair<const char *, const char *> cases[] = {
        {"0", "00"},
        {"1", "01"},
        {"255", "FF"},
        {"256", "0100"},
        {"1245000", "12FF48"},
        {"4294967295", "FFFFFFFF"},
        {"9999999999", "02540BE3FF"},
        {"0004294967296", "0100000000"},
        {"1234567890123456789012345", "01056E0F36A6443DE2DF79"},
        {"-5", ""},
        {"+5", ""},
        {"12a", ""},
        {"", ""},
    };
    for (const auto &[decimal, hex] : cases) {
        EXPECT_EQ(hex, str(IString(decimal).decimalToHex())) << decimal;
    }
    EXPECT_EQ(std::string("\xFF", 1), str(IString("255").decimalToBytes()));
    EXPECT_EQ(std::string("\x01\x00", 2), str(IString("256").decimalToBytes()));
    EXPECT_EQ(std::string("\x00", 1), str(IString("000").decimalToBytes()));
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
int inChild(const std::vector<std::string> &args, const char *table,
            std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {kavitest::executable_dir() + "/base_dbcs_child"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (table != nullptr) env.push_back(std::string("IDBCSTABLE=") + table);
    return kavitest::Child::spawn(argv, env).wait(10000);
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
