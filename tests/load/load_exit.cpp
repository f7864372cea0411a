// load_exit.cpp — the peer program of the load tests. Its exit answers each command with 0x1000
// plus the correlation's number (and sets resource_type to that number); HOLD prints "held N" and
// sleeps for command_string milliseconds first, END ends the thread that runs it mid-command.
//
//   load_exit EXIT RUN_MODE [--send TARGET COUNT | --no-terminate]
//   load_exit --stress MILLISECONDS
//
// A registration that fails is retried up to 5 times ("init failed RC" each time), so a fault
// injected into registration shows that a failed one leaves nothing behind. With --send the
// program sends COUNT commands to TARGET with KaviSend, checks every answer, prints
// "sent COUNT wrong W" and ends; without it the exit serves until SIGTERM or a node shutdown,
// and is then terminated, unless --no-terminate leaves it to the process-exit handler.
//
// --stress registers S2A (run mode 1) and S2B (run mode 0), sends the stress traffic to both
// processes' exits and a missing one for the given time, ends its exits and prints
// "calls C answered A ended E wrong W live L": L is the communication service's buffers still
// handed out after the exits ended, which must be none. The exit code is 3 when W or L is not 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "services/kavcacm/buffers.h"
#include "tests/load/load_support.h"

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
    return load::numbered(block);
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

int stress(uint32_t milliseconds) {
    if (KaviInit("S2A", load::stress_answer, 1) != VULE_OK ||
        KaviInit("S2B", load::stress_answer, 0) != VULE_OK)
        return 1;
    printf("registered\n");
    fflush(stdout);
    load::Tally tally;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads = load::stress_traffic(
        {"S2A     ", "S2B     "}, {"S1A", "S1B", "S2A", "S2B", "MISSING"}, {}, stop, &tally);
    plat::sleep_ms(milliseconds);
    stop = true;
    for (std::thread &t : threads) t.join();
    uint32_t ended = KaviTerminate("S2A") | KaviTerminate("S2B");
    size_t live = kavc::buffers_live();
    printf("calls %ld answered %ld ended %ld wrong %ld live %zu\n", tally.calls.load(),
           tally.answered.load(), tally.ended.load(), tally.wrong.load(), live);
    fflush(stdout);
    if (ended != VULE_OK) return 1;
    return tally.wrong != 0 || live != 0 ? 3 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--stress") == 0)
        return stress(static_cast<uint32_t>(atoi(argv[2])));
    bool sender = argc == 6 && strcmp(argv[3], "--send") == 0;
    bool terminate = !(argc == 4 && strcmp(argv[3], "--no-terminate") == 0);
    if (argc != 3 && !sender && terminate) {
        fprintf(stderr,
                "usage: load_exit EXIT RUN_MODE [--send TARGET COUNT | --no-terminate]\n"
                "       load_exit --stress MILLISECONDS\n");
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
