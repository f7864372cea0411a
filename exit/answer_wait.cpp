// answer_wait.cpp — a waiting call wakes now and then to ask the communication service whether
// the task that got its command still holds its name; a target that is merely busy is waited
// for without limit. The first look comes only after the answer has had time to arrive, so a
// target that was replaced within that time is told by the messages dropped on its way out. A
// target on another node is asked about through the service's distributed transport the same way.
#include "exit/answer_wait.h"

#include <cstring>

#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"

namespace kavi {
namespace {

// Most answers come within the first wait, so the service is asked only after it; the later
// waits bound how long a call outlives its target.
constexpr int32_t FIRST_CHECK_MS = 20;
constexpr int32_t CHECK_MS = 250;
// A target on another node whose node cannot be asked for this long in a row (the transport is
// down, or nobody there answers) is given up: its answer could not reach this process either.
constexpr int32_t UNREACHABLE_GIVE_UP_MS = 10000;

}  // namespace

void await_answer(WaitEntry *entry, plat::Event *answered, const char padded_caller[9],
                  const char padded_target[9], const char node[25], uint32_t dropped_before) {
    auto ident = kavc::request_for<VULC_TASKIDENT>(padded_caller);
    std::memcpy(ident.target, padded_target, sizeof ident.target);
    std::memcpy(ident.node, node, sizeof ident.node);
    uint64_t watched = 0;  // the start of the target that got the command, once known
    int32_t wait_ms = FIRST_CHECK_MS;
    int32_t unreachable_ms = 0;  // how long the target's node could not be asked, in a row
    while (plat::event_wait(answered, wait_ms) == plat::TIMEOUT) {
        unreachable_ms += wait_ms;
        wait_ms = CHECK_MS;
        uint32_t rc = vulctaskident(&ident);
        if (rc != VULC_UNREACHABLE) unreachable_ms = 0;
        // The holder of the name changed, or messages to it were dropped since the command
        // went out: the task that got it (or would have) has ended, or its answer may be lost.
        bool gone = rc == VULC_NOT_STARTED || unreachable_ms >= UNREACHABLE_GIVE_UP_MS ||
                    (rc == VULC_OK && ((watched != 0 && ident.identity != watched) ||
                                       ident.dropped != dropped_before));
        if (rc == VULC_OK && watched == 0) {
            watched = ident.identity;
            plat::pause_here(plat::Pause::send_watching);
        }
        // Answered with VULE_EXIT_ENDED unless the answer came meanwhile; the event is set.
        if (gone) VuleRLEndWait(entry);
    }
}

}  // namespace kavi
