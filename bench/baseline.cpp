// baseline.cpp — baseline B: raw Unix-domain datagrams between two processes, a receive thread
// and a worker thread on the server side, each request in a buffer of its own as a server has.
#include "bench/baseline.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "bench/bench_util.h"

namespace kavibench {

namespace {

struct Address {
    sockaddr_un sa;
    socklen_t len;
};

Address abstract(const std::string &name) {
    Address a = {};
    a.sa.sun_family = AF_UNIX;
    memcpy(a.sa.sun_path + 1, name.data(), name.size());
    a.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return a;
}

int bound_socket(const Address &a) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&a.sa), a.len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Request {
    Address from;
    size_t len;
    char data[BASELINE_REQUEST];
};

int serve(const Address &server) {
    int fd = bound_socket(server);
    if (fd < 0) return 1;
    HandOff handoff;
    std::thread worker([&] {
        for (;;) {
            auto *req = static_cast<Request *>(handoff.take());
            memset(req->data, 'r', BASELINE_REPLY);
            sendto(fd, req->data, BASELINE_REPLY, 0, reinterpret_cast<sockaddr *>(&req->from.sa),
                   req->from.len);
            free(req);
        }
    });
    for (;;) {
        auto *req = static_cast<Request *>(malloc(sizeof(Request)));
        req->from.len = sizeof req->from.sa;
        ssize_t n = recvfrom(fd, req->data, sizeof req->data, 0,
                             reinterpret_cast<sockaddr *>(&req->from.sa), &req->from.len);
        if (n < 0) {
            free(req);
            continue;
        }
        req->len = static_cast<size_t>(n);
        handoff.put(req);
    }
}

}  // namespace

struct Baseline::Impl {
    Address server;
    int fd;
    std::unique_ptr<ChildProcess> child;
    char request[BASELINE_REQUEST];
    char reply[BASELINE_REPLY + 64];
};

Baseline::Baseline() : impl_(new Impl) {
    std::string prefix = "kavibench/" + std::to_string(getpid()) + "/baseline-";
    impl_->server = abstract(prefix + "server");
    Address server = impl_->server;
    impl_->child = std::make_unique<ChildProcess>([server] { return serve(server); });
    impl_->fd = bound_socket(abstract(prefix + "client"));
    memset(impl_->request, 'q', sizeof impl_->request);
}

Baseline::~Baseline() {
    if (impl_->fd >= 0) close(impl_->fd);
}

bool Baseline::send() {
    // The server may still be binding its name at the first round trip.
    while (sendto(impl_->fd, impl_->request, sizeof impl_->request, 0,
                  reinterpret_cast<sockaddr *>(&impl_->server.sa), impl_->server.len) < 0) {
        if (errno != ECONNREFUSED && errno != ENOENT) return false;
        usleep(1000);
    }
    return true;
}

bool Baseline::receive() {
    return recv(impl_->fd, impl_->reply, sizeof impl_->reply, 0) == BASELINE_REPLY;
}

}  // namespace kavibench
