// istring.cpp — IString: construction, sharing, appending, trimming and the decimal and
// hexadecimal conversions.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/ibuffer.hpp"

namespace {

IBuffer *buffer(char *text) {
    return IBuffer::fromText(text);
}

// Lengths of texts in memory are below 4 GiB on every platform that matters; a longer one
// takes the overflow path instead of being cut.
uint32_t textLength(const char *text) {
    size_t n = text == nullptr ? 0 : strlen(text);
    if (n >= UINT32_MAX) IBuffer::overflow();
    return static_cast<uint32_t>(n);
}

char *fromDecimal(const char *format, auto value) {
    char digits[24];
    int n = snprintf(digits, sizeof digits, format, value);
    return IBuffer::null()->fromPieces(digits, static_cast<uint32_t>(n), nullptr, 0)->text();
}

}  // namespace

IString::IString() : text_(IBuffer::null()->addRef()->text()) {}

IString::IString(const char *text)
    : text_(IBuffer::null()->fromPieces(text, textLength(text), nullptr, 0)->text()) {}

IString::IString(const void *p, unsigned n, char pad)
    : text_(IBuffer::null()->fromPieces(p, n, nullptr, 0, nullptr, 0, pad)->text()) {}

IString::IString(int value) : text_(fromDecimal("%ld", static_cast<long>(value))) {}
IString::IString(long value) : text_(fromDecimal("%ld", value)) {}
IString::IString(short value) : text_(fromDecimal("%ld", static_cast<long>(value))) {}
IString::IString(unsigned value) : text_(fromDecimal("%lu", static_cast<unsigned long>(value))) {}
IString::IString(unsigned long value) : text_(fromDecimal("%lu", value)) {}
IString::IString(unsigned short value)
    : text_(fromDecimal("%lu", static_cast<unsigned long>(value))) {}

IString::IString(const IString &other) : text_(buffer(other.text_)->addRef()->text()) {}

IString &IString::operator=(const IString &other) {
    replaceWith(buffer(other.text_)->addRef()->text());
    return *this;
}

IString::~IString() {
    buffer(text_)->release();
}

void IString::replaceWith(char *text) {
    char *old = text_;
    text_ = text;
    buffer(old)->release();
}

unsigned IString::length() const {
    return buffer(text_)->length();
}

IString &IString::operator+=(const IString &other) {
    IBuffer *mine = buffer(text_);
    IBuffer *theirs = buffer(other.text_);
    if (theirs->length() == 0 || mine->appendInPlace(other.text_, theirs->length())) return *this;
    replaceWith(mine->fromPieces(text_, mine->length(), other.text_, theirs->length())->text());
    return *this;
}

IString &IString::operator+=(const char *text) {
    IBuffer *mine = buffer(text_);
    uint32_t n = textLength(text);
    if (n == 0 || mine->appendInPlace(text, n)) return *this;
    replaceWith(mine->fromPieces(text_, mine->length(), text, n)->text());
    return *this;
}

IString operator+(const char *text, const IString &string) {
    IBuffer *b = IBuffer::fromText(string.text_);
    return IString(IString::Adopt{},
                   b->fromPieces(text, textLength(text), string.text_, b->length())->text());
}

IString &IString::trimTrailing(const IStringTest &test) {
    replaceWith(buffer(text_)->stripTrailing(test)->text());
    return *this;
}

// Any number of digits: the value is built as a big-endian byte string, times ten plus each
// digit, so texts beyond 32 bits convert exactly.
IString &IString::decimalToBytes() {
    uint32_t n = length();
    if (n == 0) return *this;
    std::vector<unsigned char> bytes{0};
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text_[i]);
        if (!isdigit(c)) {
            replaceWith(IBuffer::null()->addRef()->text());
            return *this;
        }
        unsigned carry = c - '0';
        for (size_t j = bytes.size(); j-- > 0;) {
            carry += bytes[j] * 10u;
            bytes[j] = static_cast<unsigned char>(carry & 0xFF);
            carry >>= 8;
        }
        if (carry != 0) bytes.insert(bytes.begin(), static_cast<unsigned char>(carry));
    }
    size_t zeros = 0;
    while (zeros + 1 < bytes.size() && bytes[zeros] == 0) ++zeros;
    uint32_t size = static_cast<uint32_t>(bytes.size() - zeros);
    replaceWith(buffer(text_)->fromPieces(bytes.data() + zeros, size, nullptr, 0)->text());
    return *this;
}

IString &IString::bytesToHex() {
    static const char digits[] = "0123456789ABCDEF";
    IBuffer *mine = buffer(text_);
    uint32_t n = mine->length();
    if (n == 0) return *this;
    IBuffer *hex = mine->fromPieces(nullptr, IBuffer::checkedAdd(n, n), nullptr, 0);
    char *out = hex->text();
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text_[i]);
        out[2 * i] = digits[c >> 4];
        out[2 * i + 1] = digits[c & 0x0F];
    }
    replaceWith(out);
    return *this;
}
