// baseline.cpp — baseline B: raw Unix-domain datagrams between two processes, a receive thread
// and a worker thread on the server side (or a new thread per request for B'), each request in a
// buffer of its own as a server has.
#include "bench/baseline.h"

#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
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

struct Reply {
    int fd;
    Request *req;
};

void send_reply(int fd, Request *req) {
    memset(req->data, 'r', BASELINE_REPLY);
    sendto(fd, req->data, BASELINE_REPLY, 0, reinterpret_cast<sockaddr *>(&req->from.sa),
           req->from.len);
    free(req);
}

void *reply_thread(void *p) {
    auto *reply = static_cast<Reply *>(p);
    send_reply(reply->fd, reply->req);
    free(reply);
    return nullptr;
}

// start_reply_thread: a detached thread with the invocation thread's 128 KiB stack sends the
// reply; false when it could not be started.
bool start_reply_thread(int fd, Request *req) {
    auto *reply = static_cast<Reply *>(malloc(sizeof(Reply)));
    if (reply == nullptr) return false;
    *reply = Reply{fd, req};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 0x20000);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int err = pthread_create(&thread, &attr, reply_thread, reply);
    pthread_attr_destroy(&attr);
    if (err != 0) free(reply);
    return err == 0;
}

int serve(const Address &server, Replier replier) {
    int fd = bound_socket(server);
    if (fd < 0) return 1;
    HandOff handoff;
    std::thread worker([&] {
        for (;;) send_reply(fd, static_cast<Request *>(handoff.take()));
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
        // Unanswered, the client's receive fails and the benchmark says so.
        if (replier == Replier::worker)
            handoff.put(req);
        else if (!start_reply_thread(fd, req))
            free(req);
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

Baseline::Baseline(Replier replier) : impl_(new Impl) {
    static std::atomic<int> instances{0};
    std::string prefix =
        "kavibench/" + std::to_string(getpid()) + "/baseline" + std::to_string(instances++) + "-";
    impl_->server = abstract(prefix + "server");
    Address server = impl_->server;
    impl_->child =
        std::make_unique<ChildProcess>([server, replier] { return serve(server, replier); });
    impl_->fd = bound_socket(abstract(prefix + "client"));
    // A lost reply or a stalled server fails the round trip instead of hanging the benchmark.
    timeval limit = {10, 0};
    setsockopt(impl_->fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(impl_->fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    memset(impl_->request, 'q', sizeof impl_->request);
}

Baseline::~Baseline() {
    if (impl_->fd >= 0) close(impl_->fd);
}

bool Baseline::send() {
    // The server may still be binding its name at the first round trip.
    for (int tries = 0;
         sendto(impl_->fd, impl_->request, sizeof impl_->request, 0,
                reinterpret_cast<sockaddr *>(&impl_->server.sa), impl_->server.len) < 0;
         ++tries) {
        if ((errno != ECONNREFUSED && errno != ENOENT) || tries == 5000) return false;
        usleep(1000);
    }
    return true;
}

bool Baseline::receive() {
    return recv(impl_->fd, impl_->reply, sizeof impl_->reply, 0) == BASELINE_REPLY;
}

}  // namespace kavibench
