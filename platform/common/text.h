// text.h — small text helpers both backends' mailslot listings use.
#pragma once

#include <string>

namespace plat {

// has_prefix_nocase: whether s begins with prefix, ASCII letters compared without case.
inline bool has_prefix_nocase(const std::string &s, const char *prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= s.size()) return false;
        char a = s[i], b = prefix[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

}  // namespace plat
