// report.h — what the service says about itself: a trace or log file it cannot use is reported
// once per process on standard error, in words, and the service goes on without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kavz {

// report_once: unless `reported` is already set, writes "kavzras: <what> <path>: <reason>;
// <consequence>" on standard error (without the path when it is empty) and sets it.
void report_once(std::atomic<bool> &reported, const char *what, const std::string &path,
                 uint32_t rc, const char *consequence);

}  // namespace kavz
