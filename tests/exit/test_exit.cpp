// test_exit.cpp — the exit program of the end-to-end tests: `kavi_test_exit EXIT RUN_MODE
// [--exit-when-held N]`. The command name picks what the exit function does; every call prints
// "invoked NAME". With --exit-when-held, main returns (the process ends) once N commands are held.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "kaviexit.h"

namespace {

// Never destroyed: held commands still wait on them while the process exits.
struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    int held = 0;
    bool released = false;
};
Shared &shared = *new Shared;

uint32_t hold() {
    std::unique_lock<std::mutex> guard(shared.lock);
    printf("held %d\n", ++shared.held);
    fflush(stdout);
    shared.changed.notify_all();
    shared.changed.wait(guard, [] { return shared.released; });
    --shared.held;
    return 0;
}

uint32_t KAVI_CALL test_exit(_VULE_PARAMETERS32 *block) {
    std::string name = block->command_name != nullptr ? block->command_name : "";
    printf("invoked %s\n", name.c_str());
    fflush(stdout);
    if (name == "STATUS") return static_cast<uint32_t>(strtoul(block->command_string, nullptr, 0));
    if (name == "HOLD") return hold();
    if (name == "RELEASE") {
        std::lock_guard<std::mutex> guard(shared.lock);
        shared.released = true;
        shared.changed.notify_all();
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 && !(argc == 5 && strcmp(argv[3], "--exit-when-held") == 0)) {
        fprintf(stderr, "usage: kavi_test_exit EXIT RUN_MODE [--exit-when-held N]\n");
        return 2;
    }
    int rc = KaviInit(argv[1], test_exit, static_cast<uint32_t>(atoi(argv[2])));
    if (rc != VULE_OK) {
        fprintf(stderr, "KaviInit failed with %d\n", rc);
        return 1;
    }
    printf("registered\n");
    fflush(stdout);
    if (argc == 5) {
        std::unique_lock<std::mutex> guard(shared.lock);
        shared.changed.wait(guard, [&] { return shared.held >= atoi(argv[4]); });
        return 0;  // the process-exit handler answers the held commands
    }
    KaviWait(argv[1], -1);
    return static_cast<int>(KaviTerminate(argv[1]));
}
