// test_main.cpp — the main of every test executable: each test process gets a node of its own,
// so parallel test runs never see each other's tasks and mailslots.
#include <gtest/gtest.h>
#include <unistd.h>

int main(int argc, char **argv) {
    std::string node =
        "T" + std::to_string(getpid()) + "X" + std::to_string(time(nullptr) % 100000);
    setenv("KAVI_NODE", node.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
