// test_main.cpp — the main of every test executable: each test process gets a node of its own,
// so parallel test runs never see each other's tasks and mailslots.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/platform.h"
#include "tests/support/child_process.h"

int main(int argc, char **argv) {
    // A child that runs its parent's test again keeps the parent's node, as a forked one does.
    if (!kavitest::fork_run_child()) {
        std::string node = "T" + std::to_string(plat::process_id()) + "X" +
                           std::to_string(std::time(nullptr) % 100000);
        plat::env_set("KAVI_NODE", node.c_str());
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
