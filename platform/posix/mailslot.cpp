// mailslot.cpp — mailslots as Unix-domain datagram sockets bound in the Linux abstract
// namespace: a bound name is node-wide unique and vanishes with the socket, however it closes.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/fault.h"
#include "platform/posix/mailslot_address.h"
#include "platform/posix/mailslot_send.h"

namespace plat {

struct Mailslot {
    int fd;
    // Held from the size check to the receive, so that a second reader cannot take the checked
    // message and leave a larger one to be cut short.
    std::mutex reading;
    int32_t receive_timeout_ms = -1;  // the socket's receive time-out, -1 none; under `reading`
    std::atomic<bool> shut{false};    // no more messages arrive; reads no longer wait
};

namespace {

constexpr char NAMESPACE_HEAD[] = "kavi/";
constexpr char NAMESPACE_TAIL[] = "/mailslot/";

char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// wait_readable: 0 when a message is queued, TIMEOUT, or a system error. `deadline` is an
// absolute CLOCK_MONOTONIC time in ms, or negative for no limit.
uint32_t wait_readable(int fd, int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            int64_t left = deadline - now_ms();
            timeout = left > 0 ? static_cast<int>(left > INT32_MAX ? INT32_MAX : left) : 0;
        }
        pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, timeout);
        if (n > 0) return OK;
        if (n == 0) return TIMEOUT;
        if (errno != EINTR) return from_errno(errno);
    }
}

int64_t deadline_of(int32_t timeout_ms) {
    return timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
}

// first_wait: a reader that may wait usually finds nothing queued yet, so it polls at once and
// saves a receive attempt; one that only polls (timeout 0) looks at the queue directly.
uint32_t first_wait(int fd, int32_t timeout_ms, int64_t deadline) {
    return timeout_ms == 0 ? OK : wait_readable(fd, deadline);
}

// peek_size: the length of the queued message without taking it; EAGAIN when none is queued.
ssize_t peek_size(int fd) {
    ssize_t n;
    do n = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n;
}

// set_receive_timeout: with m->reading held, makes a blocking receive on m end after timeout_ms
// (-1: never). A reader usually waits with the same time-out each time, so the socket is only
// told when it changes.
bool set_receive_timeout(Mailslot *m, int32_t timeout_ms) {
    if (m->receive_timeout_ms == timeout_ms) return true;
    timeval tv = {};
    if (timeout_ms > 0) {
        tv.tv_sec = timeout_ms / 1000;
        tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
    }
    if (setsockopt(m->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    m->receive_timeout_ms = timeout_ms;
    return true;
}

// read_whole: a buffer that holds the largest message a writer sends needs no size check, so
// one receive takes the message, and waits for it (up to the time-out) when none is queued. A
// larger datagram (no mailslot_write sends one) is cut short and reported as not fitting.
uint32_t read_whole(Mailslot *m, void *buf, size_t cap, size_t *len, int32_t timeout_ms,
                    int64_t deadline) {
    for (;;) {
        const bool shut = m->shut.load();
        const int flags = MSG_TRUNC | (timeout_ms == 0 || shut ? MSG_DONTWAIT : 0);
        ssize_t got;
        int err = 0;
        {
            std::lock_guard<std::mutex> held(m->reading);
            int64_t left = timeout_ms > 0 ? deadline - now_ms() : timeout_ms;
            if (timeout_ms > 0 && left <= 0) return TIMEOUT;
            if (timeout_ms != 0 &&
                !set_receive_timeout(m, static_cast<int32_t>(left > INT32_MAX ? INT32_MAX : left)))
                return from_errno(errno);
            got = recv(m->fd, buf, cap, flags);
            if (got < 0) err = errno;
        }
        if (got >= 0) {
            // A reader woken by the shut got nothing: it looks again without waiting.
            if (got == 0 && !shut && m->shut.load()) continue;
            if (len != nullptr) *len = static_cast<size_t>(got);
            return static_cast<size_t>(got) > cap ? ERR_INVALID_PARAMETER : OK;
        }
        if (err == EAGAIN && shut) return ERR_CLOSED;
        // The socket's time-out counts in clock ticks and may end a little early: the deadline
        // decides.
        if (err == EINTR || (err == EAGAIN && timeout_ms > 0)) continue;
        return err == EAGAIN ? TIMEOUT : from_errno(err);
    }
}

}  // namespace

bool mailslot_address(const char *path, MailslotAddress *out) {
    if (path == nullptr) return false;
    for (size_t i = 0; i < MAILSLOT_PATH_PREFIX_LEN; ++i) {
        if (ascii_upper(path[i]) != MAILSLOT_PATH_PREFIX[i]) return false;
    }
    const char *name = path + MAILSLOT_PATH_PREFIX_LEN;
    const size_t name_len = strlen(name);
    const std::string &node = node_name();
    const size_t head = sizeof NAMESPACE_HEAD - 1;
    const size_t tail = sizeof NAMESPACE_TAIL - 1;
    const size_t total = head + node.size() + tail + name_len;
    if (name_len == 0 || total > sizeof out->sa.sun_path - 1) return false;
    out->sa.sun_family = AF_UNIX;
    char *p = out->sa.sun_path;
    *p++ = '\0';
    memcpy(p, NAMESPACE_HEAD, head);
    p += head;
    memcpy(p, node.data(), node.size());
    p += node.size();
    memcpy(p, NAMESPACE_TAIL, tail);
    p += tail;
    for (size_t i = 0; i < name_len; ++i) *p++ = ascii_upper(name[i]);
    out->len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + total);
    return true;
}

std::string mailslot_namespace() {
    return NAMESPACE_HEAD + node_name() + NAMESPACE_TAIL;
}

uint32_t mailslot_create(const char *path, Mailslot **out) {
    if (out == nullptr) return ERR_INVALID_PARAMETER;
    MailslotAddress address;
    if (!mailslot_address(path, &address)) return ERR_INVALID_PARAMETER;
    if (fault_hit(Fault::mailslot_create)) return SYSTEM_ERROR_BASE | EMFILE;
    mailslot_send_prepare();
    auto *m = new (std::nothrow) Mailslot;
    if (m == nullptr) return ERR_NO_MEMORY;
    uint32_t rc = OK;
    m->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m->fd < 0) {
        rc = from_errno(errno);
    } else if (bind(m->fd, reinterpret_cast<const sockaddr *>(&address.sa), address.len) != 0) {
        rc = from_errno(errno);  // EADDRINUSE: the name is taken on the node
        close(m->fd);
    }
    if (rc != OK) {
        delete m;
        return rc;
    }
    *out = m;
    return OK;
}

uint32_t mailslot_wait(Mailslot *m, int32_t timeout_ms, size_t *size) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    const int64_t deadline = deadline_of(timeout_ms);
    uint32_t rc = first_wait(m->fd, timeout_ms, deadline);
    for (; rc == OK; rc = wait_readable(m->fd, deadline)) {
        ssize_t n = peek_size(m->fd);
        if (n >= 0) {
            if (size != nullptr) *size = static_cast<size_t>(n);
            return OK;
        }
        if (errno != EAGAIN) return from_errno(errno);
        if (m->shut.load()) return ERR_CLOSED;  // a shut socket polls readable for ever
    }
    return rc;
}

// The size is checked before the receive, so a message that does not fit stays queued whole.
uint32_t mailslot_read(Mailslot *m, void *buf, size_t cap, size_t *len, int32_t timeout_ms) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    if (buf == nullptr && cap != 0) return ERR_INVALID_PARAMETER;
    const int64_t deadline = deadline_of(timeout_ms);
    if (cap >= MAILSLOT_MAX_MESSAGE) return read_whole(m, buf, cap, len, timeout_ms, deadline);
    uint32_t rc = first_wait(m->fd, timeout_ms, deadline);
    // Another reader may take the message a wait saw; the loop then waits again.
    for (; rc == OK; rc = wait_readable(m->fd, deadline)) {
        {
            std::lock_guard<std::mutex> held(m->reading);
            ssize_t n = peek_size(m->fd);
            if (n >= 0) {
                if (len != nullptr) *len = static_cast<size_t>(n);
                if (static_cast<size_t>(n) > cap) return ERR_INVALID_PARAMETER;
                ssize_t got;
                do got = recv(m->fd, buf, cap, MSG_DONTWAIT);
                while (got < 0 && errno == EINTR);
                return got < 0 ? from_errno(errno) : OK;
            }
            if (errno != EAGAIN) return from_errno(errno);
            if (m->shut.load()) return ERR_CLOSED;
        }
    }
    return rc;
}

uint32_t mailslot_write(const char *path, const void *data, size_t len) {
    if ((data == nullptr && len != 0) || len > MAILSLOT_MAX_MESSAGE) return ERR_INVALID_PARAMETER;
    MailslotAddress to;
    if (!mailslot_address(path, &to)) return ERR_INVALID_PARAMETER;
    if (fault_hit(Fault::mailslot_write)) return SYSTEM_ERROR_BASE | ENOBUFS;
    return mailslot_send(to, data, len);
}

uint32_t mailslot_dropped(const char *path) {
    MailslotAddress to;
    return mailslot_address(path, &to) ? mailslot_dropped_to(to) : 0;
}

// connect() on a datagram socket only records the peer: nothing is sent, nothing is queued.
bool mailslot_exists(const char *path) {
    MailslotAddress address;
    if (!mailslot_address(path, &address)) return false;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool bound = connect(fd, reinterpret_cast<const sockaddr *>(&address.sa), address.len) == 0;
    close(fd);
    return bound;
}

// After shutdown() a writer gets EPIPE, while what is queued stays readable.
uint32_t mailslot_shut(Mailslot *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    m->shut.store(true);
    return shutdown(m->fd, SHUT_RD) == 0 ? OK : from_errno(errno);
}

uint32_t mailslot_close(Mailslot *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    close(m->fd);
    delete m;
    return OK;
}

}  // namespace plat
