// load_exit.cpp — the exit program of the load and fault tests. Its exit answers each command with
// 0x1000 plus the correlation's number (and sets resource_type to that number); HOLD sleeps for
// command_string milliseconds first, END ends the thread that runs it mid-command.
//
//   load_exit EXIT RUN_MODE [--send TARGET COUNT | --no-terminate]
//
// A registration that fails is retried up to 5 times ("init failed RC" each time), so a fault
// injected into registration shows that a failed one leaves nothing behind. With --send the
// program sends COUNT commands to TARGET with KaviSend, checks every answer, prints
// "sent COUNT wrong W" and ends; without it the exit serves until SIGTERM or a node shutdown,
// and is then terminated, unless --no-terminate leaves it to the process-exit handler.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kaviexit.h"
#include "platform/platform.h"

namespace {

uint32_t KAVI_CALL load_exit(_VULE_PARAMETERS32 *block) {
    std::string name = block->command_name != nullptr ? block->command_name : "";
    if (name == "HOLD" || name == "END") {
        printf("held %u\n", block->correlation_id.numb);
        fflush(stdout);
    }
    if (name == "HOLD" && block->command_string != nullptr)
        plat::sleep_ms(static_cast<uint32_t>(strtoul(block->command_string, nullptr, 10)));
    if (name == "END") plat::thread_end();
    block->resource_type = block->correlation_id.numb;
    return 0x1000u + block->correlation_id.numb;
}

int register_exit(const char *name, uint32_t run_mode) {
    int rc = VULE_SYSTEM_ERROR;
    for (int attempt = 0; attempt < 5 && rc != VULE_OK; ++attempt) {
        rc = KaviInit(name, load_exit, run_mode);
        if (rc != VULE_OK) printf("init failed %d\n", rc);
    }
    return rc;
}

// send_all: count commands to target, each numbered; the number of wrong answers.
int send_all(const char *padded_caller, const char *target, int count) {
    int wrong = 0;
    char command[] = "LOAD";
    for (int i = 0; i < count; ++i) {
        _VULE_PARAMETERS32 block{};
        block.command_name = command;
        auto numb = static_cast<uint16_t>(i % 0x4000);
        block.correlation_id.numb = numb;
        uint32_t rc = KaviSend(padded_caller, target, " ", &block);
        if (rc != 0x1000u + numb || block.resource_type != numb) {
            if (wrong++ < 10)
                printf("send %d: status %u resource_type %u\n", i, rc, block.resource_type);
        }
    }
    printf("sent %d wrong %d\n", count, wrong);
    return wrong;
}

}  // namespace

int main(int argc, char **argv) {
    bool sender = argc == 6 && strcmp(argv[3], "--send") == 0;
    bool terminate = !(argc == 4 && strcmp(argv[3], "--no-terminate") == 0);
    if (argc != 3 && !sender && terminate) {
        fprintf(stderr, "usage: load_exit EXIT RUN_MODE [--send TARGET COUNT | --no-terminate]\n");
        return 2;
    }
    if (register_exit(argv[1], static_cast<uint32_t>(atoi(argv[2]))) != VULE_OK) return 1;
    printf("registered\n");
    fflush(stdout);
    int wrong = 0;
    if (sender) {
        char padded[9] = "        ";
        memcpy(padded, argv[1], strnlen(argv[1], 8));
        plat::upper_case(padded);
        wrong = send_all(padded, argv[4], atoi(argv[5]));
    } else {
        KaviWait(argv[1], -1);
    }
    uint32_t ended = terminate ? KaviTerminate(argv[1]) : uint32_t{VULE_OK};
    fflush(stdout);
    return ended != VULE_OK ? static_cast<int>(ended) : wrong != 0 ? 3 : 0;
}
