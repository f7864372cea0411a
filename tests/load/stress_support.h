// stress_support.h — the traffic of the stress test, run alike by the test process and by its
// peer process: threads send from two exits to every exit of both processes and to one that
// does not exist, all under one correlation, and check each answer by its content.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kaviexit.h"
#include "platform/platform.h"

namespace stress {

constexpr int THREADS = 8;

// A command carries its number as its command name; the answer carries it back in
// resource_type and, cut to 12 bits, in its status.
inline uint32_t status_for(uint32_t n) {
    return 0x1000u + (n & 0xFFFu);
}

inline uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *b) {
    uint32_t n = b->command_name != nullptr ? strtoul(b->command_name, nullptr, 10) : 0;
    b->resource_type = n;
    return status_for(n);
}

struct Tally {
    std::atomic<long> calls{0};
    std::atomic<long> answered{0};
    std::atomic<long> ended{0};
    std::atomic<long> wrong{0};
    std::atomic<int> running{0};
};

// traffic: THREADS threads, each calling from the callers (padded names) in turn to the
// targets in turn until `stop`. A call may end with 0x8001 (its target is missing or ended), or
// with 4 or 5 when its own exit is one of `cycled`; an answer must be its own command's.
inline std::vector<std::thread> traffic(const std::vector<std::string> &callers,
                                        const std::vector<std::string> &targets,
                                        const std::set<std::string> &cycled,
                                        const std::atomic<bool> &stop, Tally *tally) {
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        ++tally->running;
        threads.emplace_back([=, &stop] {
            for (uint32_t i = 0; !stop; ++i) {
                const std::string &caller = callers[(i + t) % callers.size()];
                const std::string &target = targets[(i / callers.size() + t) % targets.size()];
                uint32_t n = static_cast<uint32_t>(t) << 20 | (i & 0xFFFFF);
                char command[16];
                snprintf(command, sizeof command, "%u", n);
                _VULE_PARAMETERS32 block{};
                block.command_name = command;
                uint32_t rc = KaviSend(caller.c_str(), target.c_str(), " ", &block);
                ++tally->calls;
                bool own_exit_gone = cycled.count(caller) != 0 &&
                                     (rc == VULE_NOT_REGISTERED || rc == VULE_TERMINATING);
                if (rc == status_for(n) && block.resource_type == n) {
                    ++tally->answered;
                } else if (rc == VULE_EXIT_ENDED || own_exit_gone) {
                    ++tally->ended;
                } else if (tally->wrong++ < 10) {
                    printf("call %u %s to %s: status %u resource_type %u\n", n, caller.c_str(),
                           target.c_str(), rc, block.resource_type);
                    fflush(stdout);
                }
            }
            --tally->running;
        });
    }
    return threads;
}

}  // namespace stress
