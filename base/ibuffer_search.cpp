// ibuffer_search.cpp — the character searches of IString buffers: stripping trailing characters.
#include "base/ibuffer.hpp"

uint32_t IBuffer::lastFailing(const IStringTest &test) const {
    const signed char *s = reinterpret_cast<const signed char *>(text());
    for (uint32_t i = length_; i > 0; --i) {
        if (!test.test(s[i - 1])) return i;
    }
    return 0;
}

IBuffer *IBuffer::stripTrailing(const IStringTest &test) {
    if (length_ == 0) return addRef();
    uint32_t last = lastFailing(test);
    if (last == length_) return addRef();
    return fromPieces(text(), last, nullptr, 0);
}
