// imsgtext.cpp — message texts: the message file, the built-in texts and insert substitution.
//
// Message file format (OPTRC_MSGFILE names it; there is no default file): plain text, one
// message a line, "<id><TAB><text>", the id in decimal. Lines that do not start with a digit
// (comments, blank lines) are skipped; a carriage return before the new-line is ignored; the
// first line with the id wins. "%1" to "%9" in the text are replaced by the message's inserts.
// A line longer than 2,047 bytes of text is cut there. Ids the file does not give fall back to
// the built-in texts.
#include "base/imsgtext.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace kavibase {

namespace {

constexpr char kNoText[] = "Unable to load text from message file.";

const char *builtInText(uint32_t id) {
    switch (id) {
        case 1:
            return "The following expression must be true, but it evaluated to false: %1.";
        case 4:
            return "Out of memory; unable to allocate memory.";
        case 51:
            return "Attempt to allocate an IString that is too big.";
        default:
            return nullptr;
    }
}

// Reads the message file line by line into a buffer on the stack; true and out filled when the
// file gives the id.
bool fileText(uint32_t id, char *out) {
    char path[1024];
    {
        std::string value;  // the only heap use; on failure the file is simply not read
        try {
            if (!plat::env_get("OPTRC_MSGFILE", &value) || value.empty()) return false;
        } catch (...) {
            return false;
        }
        if (value.size() >= sizeof path) return false;
        memcpy(path, value.c_str(), value.size() + 1);
    }
    FILE *file = fopen(path, "r");
    if (file == nullptr) return false;
    bool found = false;
    char line[MESSAGE_TEXT_MAX + 32];
    bool lineStart = true;  // the previous read ended a line
    while (!found && fgets(line, sizeof line, file) != nullptr) {
        size_t n = strlen(line);
        bool complete = n > 0 && line[n - 1] == '\n';
        bool candidate = lineStart && isdigit(static_cast<unsigned char>(line[0]));
        lineStart = complete;
        if (!candidate) continue;
        char *tab = nullptr;
        unsigned long lineId = strtoul(line, &tab, 10);
        if (*tab != '\t' || lineId != id) continue;
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
        snprintf(out, MESSAGE_TEXT_MAX + 1, "%s", tab + 1);
        found = true;
    }
    fclose(file);
    return found;
}

}  // namespace

void messageText(uint32_t id, char *out, const char *const *inserts, unsigned count) {
    char raw[MESSAGE_TEXT_MAX + 1];
    if (!fileText(id, raw)) {
        const char *text = builtInText(id);
        snprintf(raw, sizeof raw, "%s", text != nullptr ? text : kNoText);
    }
    size_t o = 0;
    for (const char *p = raw; *p != '\0' && o < MESSAGE_TEXT_MAX; ++p) {
        unsigned index = p[1] >= '1' && p[1] <= '9' ? static_cast<unsigned>(p[1] - '1') : 9;
        if (p[0] == '%' && index < count && inserts[index] != nullptr) {
            for (const char *s = inserts[index]; *s != '\0' && o < MESSAGE_TEXT_MAX; ++s) {
                out[o++] = *s;
            }
            ++p;
        } else {
            out[o++] = *p;
        }
    }
    out[o] = '\0';
}

}  // namespace kavibase
