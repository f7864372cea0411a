// itrace.cpp — the support library's trace facility and its settings.
//
// Settings, read once, each first with a blank and then with an underscore in the name, values
// compared without regard to case: OPTRC TRACE "ON" (lines with the thread prefix) or "NOPREFIX";
// OPTRC TRACETO "STDERR"/"ERR", "STDOUT"/"OUT", "FILE" (appended to OPTRC TRACEFILE, opened and
// closed per line) or "QUEUE"/"PMPRINTF" (the mailslot \\.\mailslot\PRINTF32, one message a
// line). Either variable switches tracing on; the mailslot is the default destination.
#include "base/itrace.hpp"

#include <cctype>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace kavibase {

namespace {

enum class Destination { none, standardError, standardOutput, file, mailslot };

struct Settings {
    Destination destination = Destination::none;
    bool prefix = true;
    std::string fileName;  // for Destination::file; empty: nothing is written
};

bool setting(const char *name, std::string *value) {
    std::string blank(name);
    blank[blank.find('_')] = ' ';
    return plat::env_get(blank.c_str(), value) || plat::env_get(name, value);
}

bool is(const std::string &value, const char *word) {
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i == value.size() || toupper(static_cast<unsigned char>(value[i])) != word[i]) {
            return false;
        }
    }
    return i == value.size();
}

Settings readSettings() {
    Settings s;
    std::string value;
    bool on = false;
    if (setting("OPTRC_TRACE", &value)) {
        if (is(value, "ON")) on = true;
        if (is(value, "NOPREFIX")) on = true, s.prefix = false;
    }
    Destination to = Destination::mailslot;
    if (setting("OPTRC_TRACETO", &value)) {
        if (is(value, "STDERR") || is(value, "ERR")) on = true, to = Destination::standardError;
        if (is(value, "STDOUT") || is(value, "OUT")) on = true, to = Destination::standardOutput;
        if (is(value, "FILE")) on = true, to = Destination::file;
        if (is(value, "QUEUE") || is(value, "PMPRINTF")) on = true, to = Destination::mailslot;
    }
    if (to == Destination::file) setting("OPTRC_TRACEFILE", &s.fileName);
    if (on) s.destination = to;
    return s;
}

// Settings that cannot be read (no memory at first use) leave tracing off.
const Settings &settings() {
    static const Settings current = [] {
        try {
            return readSettings();
        } catch (...) {
            return Settings{};
        }
    }();
    return current;
}

void toStream(FILE *stream, const char *line, size_t n) {
    fwrite(line, 1, n, stream);
    fflush(stream);
}

}  // namespace

void traceLine(const char *marker, const char *text) {
    const Settings &s = settings();
    if (s.destination == Destination::none) return;
    char head[48] = "";
    if (s.prefix) {
        snprintf(head, sizeof head, "[%llu] ", static_cast<unsigned long long>(plat::thread_id()));
    }
    // One buffer per line so that each destination gets the line in a single write.
    char small[1024];
    size_t n = static_cast<size_t>(snprintf(small, sizeof small, "%s%s%s\n", head, marker, text));
    char *line = small;
    if (n >= sizeof small) {
        line = static_cast<char *>(plat::alloc_zeroed(n + 1));
        if (line == nullptr) return;
        snprintf(line, n + 1, "%s%s%s\n", head, marker, text);
    }
    switch (s.destination) {
        case Destination::standardError:
            toStream(stderr, line, n);
            break;
        case Destination::standardOutput:
            toStream(stdout, line, n);
            break;
        case Destination::file:
            if (FILE *f = s.fileName.empty() ? nullptr : fopen(s.fileName.c_str(), "a")) {
                toStream(f, line, n);
                fclose(f);
            }
            break;
        case Destination::mailslot:
            plat::mailslot_write("\\\\.\\mailslot\\PRINTF32", line, n);
            break;
        case Destination::none:
            break;
    }
    if (line != small) plat::mem_free(line);
}

}  // namespace kavibase
