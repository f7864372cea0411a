// quote.cpp — the one escaper behind kavi's quoted texts.
#include "tools/kavi/quote.h"

#include <cstdio>

namespace kavitool {

namespace {

// quote: text in double quotes, each byte outside printable ASCII written by byte_format.
std::string quote(std::string_view text, const char *byte_format) {
    std::string out = "\"";
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, byte_format, ch);
            out += escaped;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

}  // namespace

std::string json_string(std::string_view text) {
    return quote(text, "\\u%04x");
}

std::string quoted(std::string_view text) {
    return quote(text, "\\x%02x");
}

}  // namespace kavitool
