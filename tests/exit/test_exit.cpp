// test_exit.cpp — the exit program of the end-to-end tests: `kavi_test_exit EXIT RUN_MODE`. Every
// call prints "invoked NAME"; the command STATUS returns the number its command_string holds.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kaviexit.h"

namespace {

uint32_t KAVI_CALL test_exit(_VULE_PARAMETERS32 *block) {
    std::string name = block->command_name != nullptr ? block->command_name : "";
    printf("invoked %s\n", name.c_str());
    fflush(stdout);
    if (name == "STATUS") return static_cast<uint32_t>(strtoul(block->command_string, nullptr, 0));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: kavi_test_exit EXIT RUN_MODE\n");
        return 2;
    }
    int rc = KaviInit(argv[1], test_exit, static_cast<uint32_t>(atoi(argv[2])));
    if (rc != VULE_OK) {
        fprintf(stderr, "KaviInit failed with %d\n", rc);
        return 1;
    }
    printf("registered\n");
    fflush(stdout);
    KaviWait(argv[1], -1);
    return static_cast<int>(KaviTerminate(argv[1]));
}
