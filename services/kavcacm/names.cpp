// names.cpp — task names, node addresses and mailslot paths.
#include "services/kavcacm/names.h"

#include <cstring>

#include "platform/platform.h"

namespace kavc {

namespace {

size_t text_length(const char *s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != '\0') ++n;
    while (n > 0 && s[n - 1] == ' ') --n;
    return n;
}

bool name_char_ok(char c) {
    return static_cast<unsigned char>(c) > ' ' && c != '\\' && c != '/' && c != 0x7F;
}

}  // namespace

bool task_name_ok(const char name[8]) {
    size_t n = text_length(name, 8);
    if (n == 0) return false;
    for (size_t i = 0; i < n; ++i) {
        if (!name_char_ok(name[i])) return false;
    }
    for (size_t i = n; i < 8; ++i) {
        if (name[i] != ' ' && name[i] != '\0') return false;
    }
    return true;
}

void canonical_name(const char name[8], char out[8]) {
    char text[9] = {};
    std::memcpy(text, name, 8);
    for (char &c : text) {
        if (c == '\0') c = ' ';
    }
    text[8] = '\0';
    plat::upper_case(text);
    std::memcpy(out, text, 8);
}

std::string task_name_text(const char name[8]) {
    return std::string(name, text_length(name, 8));
}

bool pad_name(const char *text, size_t max, char out[8]) {
    size_t n = text_length(text, max);
    if (n == 0 || n > 8) return false;
    char padded[9];
    std::memset(padded, ' ', 8);
    std::memcpy(padded, text, n);
    padded[8] = '\0';
    plat::upper_case(padded);
    std::memcpy(out, padded, 8);
    return task_name_ok(out);
}

InboxPath inbox_path_of(const char name[8]) {
    InboxPath path;
    const size_t n = text_length(name, 8);
    std::memcpy(path.text, TASK_PREFIX, sizeof TASK_PREFIX - 1);
    std::memcpy(path.text + sizeof TASK_PREFIX - 1, name, n);
    path.text[sizeof TASK_PREFIX - 1 + n] = '\0';
    return path;
}

std::string inbox_path(const char name[8]) {
    return inbox_path_of(name).text;
}

const char *local_node() {
    static const std::string address = [] {
        std::string s = plat::node_name();
        s.resize(24, ' ');
        return s;
    }();
    return address.data();
}

bool node_is_local(const char node[24]) {
    static const unsigned char binary[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    if (std::memcmp(node, binary, 4) == 0) return std::memcmp(node, local_node(), 24) == 0;
    size_t n = text_length(node, 24);
    char text[25] = {};
    std::memcpy(text, node, n);
    plat::upper_case(text);
    return n == text_length(local_node(), 24) && std::memcmp(text, local_node(), n) == 0;
}

}  // namespace kavc
