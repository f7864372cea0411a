// dbcs_child.cpp — a fresh process for the double-byte tests, whose decision is made once per
// process from its environment. "trim TEXT EXPECTED": trims TEXT's trailing white space and
// compares; "race": four threads make the first empty strings at once. Exit code 0 when right.
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/ibuffer.hpp"
#include "istring.hpp"

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "trim") == 0) {
        IString s(argv[2]);
        s.trimTrailing(IStringTest(isspace));
        return std::string(s, s.length()) == argv[3] ? 0 : 1;
    }
    if (argc == 2 && strcmp(argv[1], "race") == 0) {
        std::vector<const char *> seen(4);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) threads.emplace_back([&seen, t] { seen[t] = IString(); });
        for (auto &thread : threads) thread.join();
        for (const char *p : seen) {
            if (p != seen[0]) return 1;
        }
        return IDBCSBuffer::isDoubleByteEnvironment() ? 0 : 2;
    }
    return 3;
}
