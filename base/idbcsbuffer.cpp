// idbcsbuffer.cpp — the double-byte decision and IDBCSBuffer, whose searches never split a lead
// byte from the byte after it.
#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "base/ibuffer.hpp"
#include "platform/platform.h"

namespace {

struct Decision {
    bool doubleByte = false;
    bool i18n = false;  // characters are the runtime's multibyte characters, tested as wide
    bool lead[256] = {};
};

// The code page's lead bytes; else the bytes listed in IDBCSTABLE; and OPTRC_I18N "ON" lets the
// runtime's multibyte length decide instead.
Decision decide() {
    Decision d;
    if (plat::code_page_lead_bytes(d.lead)) {
        d.doubleByte = true;
    } else {
        std::string table;
        if (plat::env_get("IDBCSTABLE", &table)) {
            for (unsigned char c : table) d.lead[c] = true;
            d.doubleByte = !table.empty();
        }
    }
    std::string i18n;
    if (plat::env_get("OPTRC_I18N", &i18n) && i18n.size() == 2 && toupper(i18n[0]) == 'O' &&
        toupper(i18n[1]) == 'N') {
        d.i18n = true;
        d.doubleByte = MB_CUR_MAX > 1;
    }
    return d;
}

const Decision &decision() {
    static const Decision d = decide();
    return d;
}

}  // namespace

bool IDBCSBuffer::isDoubleByteEnvironment() {
    return decision().doubleByte;
}

IBuffer *IDBCSBuffer::make(uint32_t n) const {
    return new (storage(n)) IDBCSBuffer(n);
}

// Walks forward a whole character at a time. A lead byte at the very end of the text has no
// byte after it and counts as a character of its own.
uint32_t IDBCSBuffer::lastFailing(const IStringTest &test) const {
    const Decision &d = decision();
    const char *s = text();
    uint32_t last = 0;
    for (uint32_t i = 0; i < length();) {
        uint32_t step = 1;
        int value = static_cast<signed char>(s[i]);
        if (d.i18n) {
            mbstate_t state{};
            wchar_t wide;
            size_t n = mbrtowc(&wide, s + i, length() - i, &state);
            if (n != 0 && n != static_cast<size_t>(-1) && n != static_cast<size_t>(-2)) {
                step = static_cast<uint32_t>(n);
                value = static_cast<int>(wide);
            }
        } else if (d.lead[static_cast<unsigned char>(s[i])] && i + 1 < length()) {
            step = 2;
        }
        if (!test.test(value)) last = i + step;
        i += step;
    }
    return last;
}
