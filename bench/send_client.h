// send_client.h — the two ends of an exit-to-exit round trip: a target exit in another process
// that answers from its dispatcher thread (run mode 0), and a calling exit in this process that
// sends it commands with KaviSend.
#pragma once

#include <string>

#include "kaviexit.h"

namespace kavibench {

// The command carries a text that makes it as long as B's request.
constexpr size_t SEND_TEXT = 323;

// serve_send_target: the body of the target's process; it registers "BTARGET" and waits.
int serve_send_target();

class SendClient {
  public:
    // Registers the calling exit "BCALLER" (this process gets the library's threads) and waits
    // until the target answers.
    SendClient();
    bool round_trip();

  private:
    std::string text_;
    _VULE_PARAMETERS32 block_{};
    bool ok_ = false;
};

}  // namespace kavibench
