// subjects.cpp — escaping node addresses and task names into subject tokens.
#include "services/kavcacm/subjects.h"

#include <cstring>

#include "platform/platform.h"
#include "services/kavcacm/names.h"

namespace kavc {

namespace {

bool binary_address(const char node[24]) {
    static const unsigned char marker[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    return std::memcmp(node, marker, 4) == 0;
}

std::string escaped(const char *s, size_t n) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += DIGITS[c >> 4];
            out += DIGITS[c & 0xF];
        }
    }
    return out;
}

// padded_length: the text up to its first NUL, without trailing blanks.
size_t padded_length(const char *s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != '\0') ++n;
    while (n > 0 && s[n - 1] == ' ') --n;
    return n;
}

}  // namespace

std::string node_token(const char node[24]) {
    if (binary_address(node)) return escaped(node, 24);
    char text[25] = {};
    std::memcpy(text, node, padded_length(node, 24));
    plat::upper_case(text);
    return escaped(text, std::strlen(text));
}

std::string task_token(const char task[8]) {
    char name[8];
    canonical_name(task, name);
    return escaped(name, padded_length(name, 8));
}

std::string task_subject(const std::string &node_tok, const std::string &task_tok) {
    return "kavi.task." + node_tok + "." + task_tok;
}

std::string list_subject(const std::string &node_tok) {
    return "kavi.list." + node_tok;
}

std::string shutdown_subject(const std::string &node_tok) {
    return "kavi.shutdown." + node_tok;
}

}  // namespace kavc
