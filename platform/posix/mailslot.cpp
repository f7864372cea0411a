// mailslot.cpp — mailslots as Unix-domain datagram sockets bound to files in the owner's
// directory: the kernel lets only the owner reach them, a name is node-wide unique, and the name
// of a socket whose process died counts as free (its stale file is replaced under a lock).
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/common/fault.h"
#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/mailslot_address.h"
#include "platform/posix/mailslot_send.h"
#include "platform/posix/owner_directory.h"

namespace plat {

struct Mailslot {
    int fd;
    std::string file;  // the socket file, removed on close
    // Held from the size check to the receive, so that a second reader cannot take the checked
    // message and leave a larger one to be cut short.
    std::mutex reading;
    int32_t receive_timeout_ms = -1;  // the socket's receive time-out, -1 none; under `reading`
    std::atomic<bool> shut{false};    // no more messages arrive; reads no longer wait
};

namespace {

char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Node names may hold any byte, but '.' ends the node in a file name, and '/' and '%' cannot
// stand in one: such bytes are written as %XX.
bool escaped(char c, bool in_node) {
    if (in_node) return !((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-');
    return c == '/' || c == '%';
}

char *put_char(char *p, char c, size_t width) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    if (width == 1) {
        *p++ = c;
    } else {
        *p++ = '%';
        *p++ = DIGITS[static_cast<unsigned char>(c) >> 4];
        *p++ = DIGITS[static_cast<unsigned char>(c) & 0xF];
    }
    return p;
}

// node_prefix: "<owner directory>/<node>.", made once, when the directory is ready.
uint32_t node_prefix(const std::string **out) {
    static std::atomic<const std::string *> made{nullptr};
    const std::string *ns = made.load(std::memory_order_acquire);
    if (ns == nullptr) {
        const std::string *directory = nullptr;
        uint32_t rc = owner_directory(&directory);
        if (rc != OK) return rc;
        auto *fresh = new (std::nothrow) std::string(*directory + "/");
        if (fresh == nullptr) return ERR_NO_MEMORY;
        char buf[3];
        for (char c : node_name()) {
            size_t width = escaped(c, true) ? 3 : 1;
            fresh->append(buf, static_cast<size_t>(put_char(buf, c, width) - buf));
        }
        fresh->push_back('.');
        if (made.compare_exchange_strong(ns, fresh, std::memory_order_acq_rel)) {
            ns = fresh;
        } else {
            delete fresh;
        }
    }
    *out = ns;
    return OK;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// bind_file: binds fd to the address; a stale file of a dead socket is replaced. The owner's
// lock makes "is it stale? then remove it" one step: without it, two processes could both find
// the file stale and the second would remove the name the first had just bound.
uint32_t bind_file(int fd, const MailslotAddress &address, const std::string &directory) {
    const auto *sa = reinterpret_cast<const sockaddr *>(&address.sa);
    if (bind(fd, sa, address.len) == 0) return OK;
    if (errno != EADDRINUSE) return from_errno(errno);
    OwnerLock lock(directory);
    if (!lock.ok()) return from_errno(errno);
    if (bind(fd, sa, address.len) == 0) return OK;
    if (errno != EADDRINUSE) return from_errno(errno);
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return from_errno(errno);
    // Only a file whose socket is gone refuses a connection.
    bool stale = connect(probe, sa, address.len) != 0 && errno == ECONNREFUSED;
    close(probe);
    if (!stale) return ERR_ALREADY_EXISTS;
    if (unlink(address.sa.sun_path) != 0 && errno != ENOENT) return from_errno(errno);
    return bind(fd, sa, address.len) == 0 ? OK : from_errno(errno);
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

uint32_t mailslot_address(const char *path, MailslotAddress *out) {
    if (path == nullptr) return ERR_INVALID_PARAMETER;
    for (size_t i = 0; i < MAILSLOT_PATH_PREFIX_LEN; ++i) {
        if (ascii_upper(path[i]) != MAILSLOT_PATH_PREFIX[i]) return ERR_INVALID_PARAMETER;
    }
    const char *name = path + MAILSLOT_PATH_PREFIX_LEN;
    if (*name == '\0') return ERR_INVALID_PARAMETER;
    const std::string *ns = nullptr;
    uint32_t rc = node_prefix(&ns);
    if (rc != OK) return rc;
    // Written straight into the address: every write computes one.
    char *p = out->sa.sun_path;
    char *const end = p + sizeof out->sa.sun_path - 1;
    if (ns->size() > static_cast<size_t>(end - p)) return ERR_INVALID_PARAMETER;
    p = static_cast<char *>(mempcpy(p, ns->data(), ns->size()));
    for (; *name != '\0'; ++name) {
        char c = ascii_upper(*name);
        size_t width = escaped(c, false) ? 3 : 1;
        if (width > static_cast<size_t>(end - p)) return ERR_INVALID_PARAMETER;
        p = put_char(p, c, width);
    }
    *p = '\0';
    out->sa.sun_family = AF_UNIX;
    out->len = static_cast<socklen_t>(p + 1 - reinterpret_cast<char *>(&out->sa));
    return OK;
}

uint32_t mailslot_namespace(std::string *out) {
    const std::string *ns = nullptr;
    uint32_t rc = node_prefix(&ns);
    if (rc == OK) *out = *ns;
    return rc;
}

std::string mailslot_name_decode(const std::string &encoded) {
    std::string name;
    for (size_t i = 0; i < encoded.size(); ++i) {
        int high = encoded[i] == '%' && i + 2 < encoded.size() ? hex_digit(encoded[i + 1]) : -1;
        int low = high >= 0 ? hex_digit(encoded[i + 2]) : -1;
        if (low < 0) {
            name.push_back(encoded[i]);
            continue;
        }
        name.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    return name;
}

uint32_t mailslot_create(const char *path, Mailslot **out) {
    if (out == nullptr) return ERR_INVALID_PARAMETER;
    MailslotAddress address;
    uint32_t rc = mailslot_address(path, &address);
    if (rc != OK) return rc;
    if (fault_hit(Fault::mailslot_create)) return SYSTEM_ERROR_BASE | EMFILE;
    const std::string *directory = nullptr;
    rc = owner_directory(&directory);
    if (rc != OK) return rc;
    mailslot_send_prepare();
    auto *m = new (std::nothrow) Mailslot;
    if (m == nullptr) return ERR_NO_MEMORY;
    m->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m->fd < 0) {
        rc = from_errno(errno);
        delete m;
        return rc;
    }
    rc = bind_file(m->fd, address, *directory);
    if (rc != OK) {
        close(m->fd);
        delete m;
        return rc;
    }
    m->file = address.sa.sun_path;
    // The directory keeps everybody else out; within it, the group's members must be able to
    // write to the socket, whatever the creator's umask allowed.
    gid_t group;
    if (owner_group(&group) && chmod(m->file.c_str(), S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP) != 0) {
        rc = from_errno(errno);
        mailslot_close(m);
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
    uint32_t rc = mailslot_address(path, &to);
    if (rc != OK) return rc;
    if (fault_hit(Fault::mailslot_write)) return SYSTEM_ERROR_BASE | ENOBUFS;
    return mailslot_send(to, data, len);
}

uint32_t mailslot_dropped(const char *path) {
    MailslotAddress to;
    return mailslot_address(path, &to) == OK ? mailslot_dropped_to(to) : 0;
}

// connect() on a datagram socket only records the peer: nothing is sent, nothing is queued.
bool mailslot_exists(const char *path) {
    MailslotAddress address;
    if (mailslot_address(path, &address) != OK) return false;
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

// The file goes first: once the socket is closed, another process may take the name, and a
// late unlink would remove its file.
uint32_t mailslot_close(Mailslot *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    unlink(m->file.c_str());
    close(m->fd);
    delete m;
    return OK;
}

}  // namespace plat
