// cross_node_bench.cpp — the exit-to-exit round trip between two nodes through one nats-server,
// against a raw NATS request/reply of the same sizes measured in the same rounds: what the
// transport adds to NATS itself. Part of `make bench`; says so and stops when nats-server is
// missing.
#include <nats/nats.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "bench/send_client.h"
#include "kaviexit.h"

using namespace kavibench;

namespace {

constexpr int ROUNDS = 100;
constexpr int PER_ROUND = 20;
constexpr int WARM_UP = 200;
constexpr char RAW_SUBJECT[] = "kavibench.raw";

std::string start_server(pid_t *pid, const std::string &dir) {
    const char *path = access("/usr/sbin/nats-server", X_OK) == 0 ? "/usr/sbin/nats-server"
                                                                  : "/usr/bin/nats-server";
    *pid = fork();
    if (*pid == 0) {
        std::string log = dir + "/server.log";
        execl(path, path, "-a", "127.0.0.1", "-p", "-1", "--ports_file_dir", dir.c_str(), "-l",
              log.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string file = dir + "/nats-server_" + std::to_string(*pid) + ".ports";
    for (int i = 0; i < 5000; ++i, usleep(1000)) {
        std::stringstream text;
        text << std::ifstream(file).rdbuf();
        std::string ports = text.str();
        size_t at = ports.find("nats://");
        if (at != std::string::npos) return ports.substr(at, ports.find('"', at) - at);
    }
    return "";
}

void answer_raw(natsConnection *nc, natsSubscription *, natsMsg *msg, void *) {
    static const std::string reply(BASELINE_REPLY, 'r');
    natsConnection_Publish(nc, natsMsg_GetReply(msg), reply.data(), static_cast<int>(reply.size()));
    natsMsg_Destroy(msg);
}

// serve_raw: the other end of the raw request/reply, a NATS client that answers each request.
int serve_raw(const std::string &url) {
    natsOptions *opts = nullptr;
    natsConnection *nc = nullptr;
    natsSubscription *sub = nullptr;
    if (natsOptions_Create(&opts) != NATS_OK || natsOptions_SetURL(opts, url.c_str()) != NATS_OK ||
        natsOptions_SetSendAsap(opts, true) != NATS_OK ||
        natsConnection_Connect(&nc, opts) != NATS_OK ||
        natsConnection_Subscribe(&sub, nc, RAW_SUBJECT, answer_raw, nullptr) != NATS_OK) {
        return 1;
    }
    pause();
    return 0;
}

class RawRequest {
  public:
    explicit RawRequest(const std::string &url) : request_(BASELINE_REQUEST, 'q') {
        natsOptions *opts = nullptr;
        ok_ = natsOptions_Create(&opts) == NATS_OK &&
              natsOptions_SetURL(opts, url.c_str()) == NATS_OK &&
              natsOptions_SetSendAsap(opts, true) == NATS_OK &&
              natsConnection_Connect(&nc_, opts) == NATS_OK;
    }
    bool round_trip() {
        natsMsg *reply = nullptr;
        bool ok = ok_ &&
                  natsConnection_Request(&reply, nc_, RAW_SUBJECT, request_.data(),
                                         static_cast<int>(request_.size()), 5000) == NATS_OK &&
                  natsMsg_GetDataLength(reply) == static_cast<int>(BASELINE_REPLY);
        natsMsg_Destroy(reply);
        return ok;
    }

  private:
    std::string request_;
    natsConnection *nc_ = nullptr;
    bool ok_ = false;
};

uint32_t KAVI_CALL unused(_VULE_PARAMETERS32 *) {
    return 0;
}

// CrossNodeSend: KaviSend from the exit BCALLER of this node to BTARGET on the other.
class CrossNodeSend {
  public:
    explicit CrossNodeSend(const std::string &node) : node_(node), text_(SEND_TEXT, 'q') {
        ok_ = KaviInit("BCALLER", unused, 0) == VULE_OK;
        block_.command_string = text_.data();
    }
    bool round_trip() {
        uint32_t before = block_.resource_type;
        return ok_ && KaviSend("BCALLER ", "BTARGET", node_.c_str(), &block_) == VULE_OK &&
               block_.resource_type == before + 1;
    }

  private:
    std::string node_, text_;
    _VULE_PARAMETERS32 block_{};
    bool ok_ = false;
};

}  // namespace

int main() {
    if (access("/usr/sbin/nats-server", X_OK) != 0 && access("/usr/bin/nats-server", X_OK) != 0) {
        std::printf("cross-node row skipped: nats-server is not installed\n");
        return 0;
    }
    char dir[] = "/tmp/kavibench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    pid_t server = 0;
    std::string url = start_server(&server, dir);
    std::string here = "BA" + std::to_string(getpid()), there = "BB" + std::to_string(getpid());
    setenv("KAVI_NATS_URL", url.c_str(), 1);
    int rc = 1;
    if (!url.empty()) {
        // Both others are forked while this process has no threads.
        ChildProcess target([&] {
            setenv("KAVI_NODE", there.c_str(), 1);
            return serve_send_target();
        });
        ChildProcess responder([&] { return serve_raw(url); });
        setenv("KAVI_NODE", here.c_str(), 1);
        RawRequest raw(url);
        CrossNodeSend send(there);
        // The target may still be registering.
        for (int i = 0; i < 5000 && !send.round_trip(); ++i) usleep(1000);
        std::vector<double> r, s;
        bool ok = measure(raw, WARM_UP, nullptr) && measure(send, WARM_UP, nullptr);
        for (int round = 0; ok && round < ROUNDS; ++round)
            ok = measure(raw, PER_ROUND, &r) && measure(send, PER_ROUND, &s);
        if (ok) {
            Summary sr = summarize(r), ss = summarize(s);
            double ratio = ss.median_us / sr.median_us;
            std::printf(
                "\ncross-node: baseline N is a raw NATS request/reply through the same server, "
                "%zu-byte requests,\n%zu-byte replies; KaviSend between exits on two nodes, one "
                "message each way; %d rounds.\n",
                BASELINE_REQUEST, BASELINE_REPLY, ROUNDS);
            std::printf("%-34s %9s %9s %7s  %s\n", "", "median us", "p99 us", "xN med", "target");
            std::printf("%-34s %9.1f %9.1f %7.2f\n", "baseline N (raw NATS)", sr.median_us,
                        sr.p99_us, 1.0);
            std::printf("%-34s %9.1f %9.1f %7.2f  med <= 1.5: %s\n", "exit to exit across nodes",
                        ss.median_us, ss.p99_us, ratio, ratio <= 1.5 ? "met" : "MISSED");
            rc = 0;
        } else {
            std::fprintf(stderr, "cross_node_bench: a round trip failed\n");
        }
        KaviTerminate("BCALLER ");
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return rc;
}
