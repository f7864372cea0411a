// support.h — what the class tests share: the hexadecimal form of an address as the debug texts
// print it, and tracing switched on into a file for the life of a scope.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "exit/trace.h"
#include "services/kavzras/record.h"
#include "tests/support/child_process.h"

namespace vuletest {

// Upper-case digits, an even number of them.
inline std::string hex(uintptr_t value) {
    char digits[32];
    snprintf(digits, sizeof digits, "%lX", static_cast<unsigned long>(value));
    std::string text = digits;
    return text.size() % 2 == 0 ? text : "0" + text;
}
inline std::string hex(const void *address) {
    return hex(reinterpret_cast<uintptr_t>(address));
}

// One trace record as the tests compare it: function, kind, line and the items' bytes.
struct Record {
    std::string function;
    uint32_t kind;
    uint32_t line;
    std::vector<std::string> items;
    bool operator==(const Record &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const Record &r) {
    out << r.function << ":" << r.kind << ":" << r.line;
    for (const std::string &item : r.items) out << " [" << item << "]";
    return out;
}

// The records of a trace file whose function text starts with prefix.
inline std::vector<Record> recordsOf(const std::string &file, const std::string &prefix) {
    std::vector<Record> found;
    for (const kavz::TraceRecord &r : kavz::scan_records(file).records) {
        if (r.function.substr(0, prefix.size()) != prefix) continue;
        Record record{std::string(r.function), r.kind, r.line, {}};
        for (size_t i = 0; i < r.item_count; ++i) record.items.emplace_back(r.items[i].bytes);
        found.push_back(record);
    }
    return found;
}

// Tracing into a fresh file with the given mask while the object lives. Only for a process
// with no other thread that traces: the control pointer is replaced under nobody's lock.
class Tracing {
  public:
    explicit Tracing(const char *mask) : path_(kavitest::make_temp_dir() + "/trace") {
        setenv("KAVZ_TRACE_FILE", path_.c_str(), 1);
        setenv("KAVZ_TRACE_MASK", mask, 1);
        VULZINITTRACE("KAVI", "", &kavi::trace_control);
    }
    ~Tracing() {
        unsetenv("KAVZ_TRACE_FILE");
        unsetenv("KAVZ_TRACE_MASK");
        VULZINITTRACE("KAVI", "", &kavi::trace_control);
    }
    std::vector<Record> records(const std::string &prefix) const {
        return recordsOf(kavitest::read_file(path_), prefix);
    }

  private:
    std::string path_;
};

}  // namespace vuletest
