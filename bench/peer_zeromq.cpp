// peer_zeromq.cpp — the ZeroMQ peer: a REQ socket in this process, a REP socket echoing B's reply
// size in a child process, over ipc:// in the abstract namespace.
#include <unistd.h>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "bench/peer.h"

#if KAVIBENCH_HAVE_ZEROMQ
#include <zmq.h>

namespace kavibench {
namespace {

constexpr int LIMIT_MS = 10000;

int serve(const std::string &endpoint) {
    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_REP);
    if (zmq_bind(socket, endpoint.c_str()) != 0) return 1;
    static char request[BASELINE_REQUEST], reply[BASELINE_REPLY];
    for (;;) {
        if (zmq_recv(socket, request, sizeof request, 0) < 0) return 1;
        if (zmq_send(socket, reply, sizeof reply, 0) < 0) return 1;
    }
}

class ZeroMqPeer : public PeerRoundTrip {
  public:
    explicit ZeroMqPeer(const std::string &endpoint)
        : server_([endpoint] { return serve(endpoint); }),
          context_(zmq_ctx_new()),
          socket_(zmq_socket(context_, ZMQ_REQ)) {
        for (int option : {ZMQ_RCVTIMEO, ZMQ_SNDTIMEO})
            zmq_setsockopt(socket_, option, &LIMIT_MS, sizeof LIMIT_MS);
        int linger = 0;
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
        // Connects before or after the server binds: ZeroMQ retries on its own.
        connected_ = zmq_connect(socket_, endpoint.c_str()) == 0;
    }

    ~ZeroMqPeer() override {
        zmq_close(socket_);
        zmq_ctx_term(context_);
    }

    bool round_trip() override {
        return connected_ && zmq_send(socket_, request_, sizeof request_, 0) >= 0 &&
               zmq_recv(socket_, reply_, sizeof reply_, 0) == BASELINE_REPLY;
    }

  private:
    ChildProcess server_;
    void *context_;
    void *socket_;
    bool connected_;
    char request_[BASELINE_REQUEST] = {};
    char reply_[BASELINE_REPLY + 64];
};

}  // namespace

std::unique_ptr<PeerRoundTrip> zeromq_peer(std::string *missing) {
    auto peer =
        std::make_unique<ZeroMqPeer>("ipc://@kavibench/" + std::to_string(getpid()) + "/zeromq");
    if (peer->round_trip()) return peer;
    *missing = "the ZeroMQ echo failed";
    return nullptr;
}

}  // namespace kavibench

#else

std::unique_ptr<kavibench::PeerRoundTrip> kavibench::zeromq_peer(std::string *missing) {
    *missing = "not built: libzmq3-dev is not installed";
    return nullptr;
}

#endif
