// peer.h — round trips through other messaging systems, measured beside ours with B's sizes (an
// 800-byte request, a 500-byte reply, one hop to a server in another process), so that a user sees
// on their own machine where the exit library stands among them.
#pragma once

#include <memory>
#include <string>

namespace kavibench {

class PeerRoundTrip {
  public:
    virtual ~PeerRoundTrip() = default;
    // round_trip: one request and its reply; false when it failed or took over 10 s.
    virtual bool round_trip() = 0;
};

// Each starts its server (and daemon) in child processes, then waits until a round trip passes;
// null, with why in *missing, when the peer cannot run here (its package is not installed).
std::unique_ptr<PeerRoundTrip> zeromq_peer(std::string *missing);
std::unique_ptr<PeerRoundTrip> dbus_peer(std::string *missing);

}  // namespace kavibench
