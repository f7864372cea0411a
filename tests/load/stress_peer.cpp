// stress_peer.cpp — the peer process of the stress test: registers S2A (run mode 1) and S2B
// (run mode 0), sends the stress traffic to both processes' exits and a missing one for the
// given time, ends its exits and prints what it counted:
//
//   stress_peer MILLISECONDS
//
// "calls C answered A ended E wrong W live L": L is the communication service's buffers still
// handed out after the exits ended, which must be none. The exit code is 3 when W or L is not 0.
#include <cstdio>
#include <cstdlib>

#include "services/kavcacm/buffers.h"
#include "tests/load/stress_support.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: stress_peer MILLISECONDS\n");
        return 2;
    }
    if (KaviInit("S2A", stress::answer, 1) != VULE_OK ||
        KaviInit("S2B", stress::answer, 0) != VULE_OK)
        return 1;
    printf("registered\n");
    fflush(stdout);
    stress::Tally tally;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads = stress::traffic(
        {"S2A     ", "S2B     "}, {"S1A", "S1B", "S2A", "S2B", "MISSING"}, {}, stop, &tally);
    plat::sleep_ms(static_cast<uint32_t>(atoi(argv[1])));
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
