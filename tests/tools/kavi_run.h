// kavi_run.h — the built kavi run as an operator runs it, its standard output and standard error
// kept apart, and the small file and text helpers its tests share.
#pragma once

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/child_process.h"

namespace kavitest {

struct Outcome {
    int code;
    std::string out, err;
};

// kavi_line: a shell command line that runs the built kavi with args.
inline std::string kavi_line(const std::vector<std::string> &args) {
    std::string line = "exec '" + executable_dir() + "/kavi'";
    for (const std::string &a : args) line += " '" + a + "'";
    return line;
}

// start_shell: a shell command line, writing dir/out and dir/err.
inline Child start_shell(const std::string &line, const std::string &dir) {
    return Child::spawn({"/bin/sh", "-c", line + " 2>'" + dir + "/err'"}, {}, dir + "/out");
}

inline Outcome run(const std::string &line) {
    std::string dir = make_temp_dir();
    int code = start_shell(line, dir).wait(20000);
    return {code, read_file(dir + "/out"), read_file(dir + "/err")};
}

inline Outcome kavi(const std::vector<std::string> &args) {
    return run(kavi_line(args));
}

inline void write_file(const std::string &path, const std::string &bytes, bool append = false) {
    std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << bytes;
}

// holds: text has part in it; a failure shows the text.
inline ::testing::AssertionResult holds(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

}  // namespace kavitest
