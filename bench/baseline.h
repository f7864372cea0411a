// baseline.h — the raw baseline "B" that every latency benchmark is measured against: a
// datagram ping-pong between two processes over Unix-domain sockets, with the server's receive
// thread handing each request to a worker thread that sends the reply. No service in between.
// Its variant B' starts a new thread for each request instead, as an exit in run mode 1 does.
#pragma once

#include <cstddef>
#include <memory>

namespace kavibench {

constexpr size_t BASELINE_REQUEST = 800;
constexpr size_t BASELINE_REPLY = 500;

// How the server's receive thread gets a reply sent: by a worker thread (B), or by a new thread
// it starts for each request (B').
enum class Replier { worker, thread_per_request };

class Baseline {
  public:
    // Starts the server process; round trips then go from this process.
    explicit Baseline(Replier replier = Replier::worker);
    ~Baseline();
    // round_trip: one request and its reply; false when the transport failed.
    bool round_trip() { return send() && receive(); }
    // send, receive: the halves of a round trip, for several requests in flight.
    bool send();
    bool receive();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kavibench
