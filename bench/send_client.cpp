// send_client.cpp — the target exit and the calling exit of an exit-to-exit round trip.
#include "bench/send_client.h"

#include "bench/baseline.h"
#include "services/kavcacm/task_client.h"

namespace kavibench {

namespace {

// 460 bytes of header and block element, a text element of 4 + 324, the 12-byte end element.
static_assert(460 + 4 + (SEND_TEXT + 1) + 12 == BASELINE_REQUEST);

uint32_t KAVI_CALL answer(_VULE_PARAMETERS32 *block) {
    block->resource_type += 1;
    return 0;
}

}  // namespace

int serve_send_target() {
    if (KaviInit("BTARGET", answer, 0) != VULE_OK) return 1;
    KaviWait("BTARGET", -1);
    return 0;
}

SendClient::SendClient() : text_(SEND_TEXT, 'q') {
    ok_ = KaviInit("BCALLER", answer, 0) == VULE_OK;
    block_.command_string = text_.data();
    // The target may still be registering: until then a send finds nobody to take it.
    kavc::await_started("BTARGET", 5000);
}

bool SendClient::round_trip() {
    uint32_t before = block_.resource_type;
    uint32_t rc = KaviSend("BCALLER ", "BTARGET", " ", &block_);
    return ok_ && rc == VULE_OK && block_.resource_type == before + 1;
}

}  // namespace kavibench
