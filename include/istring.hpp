// istring.hpp — IString, the string value of the exported classes: one pointer to text in a
// shared, reference-counted buffer; and IStringTest, the character test of its searches.
#pragma once

#include "kaviexport.h"

/// A character test: kind 1 is a plain function. Characters reach the function as signed values
/// (bytes 0x80 to 0xFF as negative numbers).
class KAVI_API IStringTest {
  public:
    using CFunction = int (*)(int);
    enum Kind { cFunction = 1 };

    explicit IStringTest(CFunction function) : kind_(cFunction), function_(function) {}
    bool test(int c) const { return kind_ == cFunction && function_(c) != 0; }

  private:
    int kind_;
    CFunction function_;
};

/// A string value. Copies share the text; a change builds a new buffer unless this string is
/// the buffer's only owner and the change fits in place. The text is always followed by a NUL
/// and may contain NUL bytes (length() counts them). The layout (one pointer) is part of the
/// exported interface. Operations that would need a buffer of 4 GiB or more throw
/// IInvalidRequest (error 51); a failed allocation throws IOutOfMemory.
class KAVI_API IString {
  public:
    IString();
    IString(const char *text);  ///< a null pointer gives the empty string
    /// n bytes from p, or n copies of pad when p is null.
    IString(const void *p, unsigned n, char pad = ' ');
    IString(int value);
    IString(long value);
    IString(short value);
    IString(unsigned value);
    IString(unsigned long value);
    IString(unsigned short value);
    IString(const IString &other);
    IString &operator=(const IString &other);
    ~IString();

    unsigned length() const;
    operator const char *() const { return text_; }

    IString &operator+=(const IString &other);
    IString &operator+=(const char *text);  ///< a null pointer appends nothing
    /// Removes the trailing characters that pass test.
    IString &trimTrailing(const IStringTest &test);
    /// Decimal text to the big-endian bytes of its value, without leading zero bytes (one byte
    /// 0 for zero); empty when the text is empty or holds anything but digits.
    IString &decimalToBytes();
    /// Each byte to two upper-case hexadecimal digits.
    IString &bytesToHex();
    IString &decimalToHex() { return decimalToBytes().bytesToHex(); }

    /// The text followed by the string's text, in one new buffer.
    friend IString operator+(const char *text, const IString &string);

  private:
    struct Adopt {};
    IString(Adopt, char *text) : text_(text) {}  // takes over a reference already counted
    void replaceWith(char *text);

    char *text_;  // the text field of the buffer; never null
};

// Declared with its export mark after the class: a friend declaration cannot carry one, and a
// DLL's import mark given before it would be dropped there.
KAVI_API IString operator+(const char *text, const IString &string);
