// kavi_run.h — the built kavi run as an operator runs it, its standard output and standard error
// kept apart, and the small file and text helpers its tests share.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace kavitest {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

// start_kavi: kavi with args, writing dir/out and dir/err.
inline Child start_kavi(const std::vector<std::string> &args, const std::string &dir) {
    std::string command = "exec '" + executable_dir() + "/kavi'";
    for (const std::string &a : args) command += " '" + a + "'";
    return Child::spawn({"/bin/sh", "-c", command + " 2>'" + dir + "/err'"}, {}, dir + "/out");
}

// run: a shell command line to its end.
inline Outcome run(const std::string &shell_command) {
    std::string dir = make_temp_dir();
    Child child =
        Child::spawn({"/bin/sh", "-c", shell_command + " 2>'" + dir + "/err'"}, {}, dir + "/out");
    int code = child.wait(20000);
    return {code, read_file(dir + "/out"), read_file(dir + "/err")};
}

inline Outcome kavi(const std::vector<std::string> &args) {
    std::string dir = make_temp_dir();
    int code = start_kavi(args, dir).wait(20000);
    return {code, read_file(dir + "/out"), read_file(dir + "/err")};
}

inline void write_file(const std::string &path, const std::string &bytes, bool append = false) {
    std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << bytes;
}

inline size_t count_lines(const std::string &text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// holds: text has part in it; a failure shows the text.
inline ::testing::AssertionResult holds(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

}  // namespace kavitest
