// test_exit.cpp — the exit program of the end-to-end tests: `kavi_test_exit EXIT RUN_MODE`. Every
// call prints "invoked NAME"; the command STATUS returns the number its command_string holds,
// ADDRESSES answers the two address fields as they arrived in display_name, HOLD never returns.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kaviexit.h"

namespace {

// Pointed at by a reply, so it must outlive the exit function; each thread builds its own reply.
thread_local char addresses[64];

uint32_t KAVI_CALL test_exit(_VULE_PARAMETERS32 *block) {
    std::string name = block->command_name != nullptr ? block->command_name : "";
    printf("invoked %s\n", name.c_str());
    fflush(stdout);
    if (name == "STATUS") return static_cast<uint32_t>(strtoul(block->command_string, nullptr, 0));
    if (name == "ADDRESSES") {
        snprintf(addresses, sizeof addresses, "%.24s|%.24s", block->server_ip_addr,
                 block->client_ip_addr);
        block->display_name = addresses;
    }
    if (name == "HOLD") {
        printf("held\n");
        fflush(stdout);
        for (;;) pause();  // until the test kills the process
    }
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
