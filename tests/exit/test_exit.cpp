// test_exit.cpp — an exit program for the end-to-end tests. Its command name picks what the exit
// function does; every call prints "invoked NAME", so a test can tell which commands ran.
//
//   kavi_test_exit EXIT RUN_MODE [--exit-when-held N]
//
// With --exit-when-held, main returns (and the process ends) once N commands are held.
#include <chrono>
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
    int pairing = 0;
};
Shared &shared = *new Shared;

// Fields an exit points elsewhere must stay valid until the reply is built, after the exit
// function has returned; the thread that built it is the one that ran the function.
thread_local char longer_text[16];
thread_local char longer_text_wide[64];

uint32_t hold() {
    std::unique_lock<std::mutex> guard(shared.lock);
    ++shared.held;
    printf("held %d\n", shared.held);
    fflush(stdout);
    shared.changed.notify_all();
    shared.changed.wait(guard, [] { return shared.released; });
    --shared.held;
    return 0;
}

uint32_t release() {
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.released = true;
    shared.changed.notify_all();
    return 0;
}

// pair: 0 when another PAIR command ran at the same time within 10 s, 1 otherwise.
uint32_t pair() {
    std::unique_lock<std::mutex> guard(shared.lock);
    ++shared.pairing;
    shared.changed.notify_all();
    bool met = shared.changed.wait_for(guard, std::chrono::seconds(10),
                                       [] { return shared.pairing >= 2; });
    return met ? 0 : 1;
}

uint32_t KAVI_CALL test_exit(_VULE_PARAMETERS32 *block) {
    std::string name = block->command_name != nullptr ? block->command_name : "";
    printf("invoked %s\n", name.c_str());
    fflush(stdout);
    if (name == "STATUS") return static_cast<uint32_t>(strtoul(block->command_string, nullptr, 0));
    if (name == "LONGER") {
        strcpy(longer_text, "ABCDEFG");
        block->display_name = longer_text;
    }
    if (name == "ADDRESSES") {  // the two address fields as they arrived
        snprintf(longer_text_wide, sizeof longer_text_wide, "%.24s|%.24s", block->server_ip_addr,
                 block->client_ip_addr);
        block->display_name = longer_text_wide;
    }
    if (name == "RAISE")
        block->user_data_length = static_cast<uint16_t>(block->user_data_length + 10);
    if (name == "NOSTRING") block->command_string = nullptr;
    if (name == "HOLD") return hold();
    if (name == "RELEASE") return release();
    if (name == "PAIR") return pair();
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
        int wanted = atoi(argv[4]);
        std::unique_lock<std::mutex> guard(shared.lock);
        shared.changed.wait(guard, [&] { return shared.held >= wanted; });
        printf("exiting\n");
        fflush(stdout);
        return 0;  // the process-exit handler answers the held commands
    }
    KaviWait(argv[1], -1);
    return static_cast<int>(KaviTerminate(argv[1]));
}
