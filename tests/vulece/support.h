// support.h — what the class tests share: an address in hex as the debug texts print it, and the
// trace records of a file, as function, kind, line and the items' bytes; tracing switched on into
// a file for the life of a scope.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "exit/trace.h"
#include "services/kavzras/record.h"
#include "tests/support/child_process.h"
#include "vulece.hpp"

namespace vuletest {

// Upper-case digits, an even number of them.
inline std::string hex(const void *address) {
    char digits[32];
    int n = snprintf(digits, sizeof digits, "%lX", reinterpret_cast<unsigned long>(address));
    return (n % 2 ? "0" : "") + std::string(digits);
}

struct Record {
    std::string function;
    uint32_t kind, line;
    std::vector<std::string> items;
    bool operator==(const Record &) const = default;
};

// The records of a trace file whose function text starts with prefix.
inline std::vector<Record> recordsOf(const std::string &file, const std::string &prefix) {
    std::vector<Record> found;
    for (const kavz::TraceRecord &r : kavz::scan_records(file).records) {
        if (!r.function.starts_with(prefix)) continue;
        found.push_back({std::string(r.function), r.kind, r.line, {}});
        for (size_t i = 0; i < r.item_count; ++i) found.back().items.emplace_back(r.items[i].bytes);
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
