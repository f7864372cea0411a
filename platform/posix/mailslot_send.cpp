// mailslot_send.cpp — writes that never stall: a datagram socket queues only about 11 unread
// messages, so a write that finds the reader's queue full goes to an in-process queue per
// destination, and one flusher thread per process delivers those in order as room appears.
// Writes go through a socket connected to their destination, which spares each of them the
// path lookup (and permission check) of a send to a socket file.
#include "platform/posix/mailslot_send.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace plat {
namespace {

// Beyond this many queued bytes a write fails instead of growing the process without bound
// behind a reader that never reads.
constexpr size_t OVERFLOW_LIMIT = 64u << 20;
// How long the process-exit drain waits for queued messages to reach their readers.
constexpr auto EXIT_DRAIN = std::chrono::seconds(2);
// Retry interval after the system ran short of buffers.
constexpr int RETRY_MS = 10;
// Destinations that get a connected socket of their own; writes to further ones use sendto.
constexpr size_t CONNECTED_MAX = 64;

struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};

// Messages waiting for one reader, and a socket connected to it. The socket keeps delivering to
// the very reader the messages were written to: if that reader goes, its messages are dropped
// and never reach a later holder of the same name.
struct Destination {
    int fd = -1;
    std::deque<std::string> messages;
};

struct State {
    std::atomic<int> send_fd{-1};         // shared unconnected socket of the fast path
    std::atomic<size_t> destinations{0};  // entries in `pending`; 0 lets writers skip the lock
    std::mutex lock;                      // guards everything below
    std::condition_variable drained;      // signalled when a destination is erased
    std::map<std::string, Destination> pending;  // by address; only the flusher erases
    size_t queued_bytes = 0;
    // Per address: messages dropped because the reader they were written to went away
    // (or was shut) before it took them. Lets a writer learn that what it wrote may be lost.
    std::map<std::string, uint32_t> dropped;
    std::atomic<bool> any_dropped{false};
    bool flusher_running = false;
    int wake_fd = -1;  // eventfd: tells the flusher about a new destination
    // Connected sockets by destination. A descriptor here is never closed, only connected again
    // when its reader has gone, so a writer may use it without holding the lock.
    std::mutex connected_lock;
    // Held shared while a connected socket sends, alone while one is connected again, so that no
    // send uses a descriptor in the middle of its connect.
    std::shared_mutex reconnecting;
    std::unordered_map<std::string, int, KeyHash, std::equal_to<>> connected;
};

void drain_at_exit();
void forget_in_child();
void lock_for_fork();
void unlock_after_fork();

// The state is never destroyed: the flusher and late writers may run while the process exits.
State &state() {
    static State *s = [] {
        auto *created = new State();
        atexit(drain_at_exit);
        pthread_atfork(lock_for_fork, unlock_after_fork, forget_in_child);
        return created;
    }();
    return *s;
}

std::string_view key_view(const MailslotAddress &to) {
    return std::string_view(to.sa.sun_path, to.len - offsetof(sockaddr_un, sun_path));
}

std::string key_of(const MailslotAddress &to) {
    return std::string(key_view(to));
}

// write_error: a reader that was shut takes nothing more, as if it were gone; and a connected
// socket whose reader went again between the reconnect and the send is no longer connected.
uint32_t write_error(int err) {
    return err == EPIPE || err == ENOTCONN ? ERR_NOT_FOUND : from_errno(err);
}

// Large enough for several messages of the largest size in flight at once; the kernel caps it
// at net.core.wmem_max, and even the default buffer carries the largest message.
constexpr int SEND_BUFFER = 1 << 20;

// A datagram socket for writing; -1 and errno set when none can be made.
int send_socket() {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int size = SEND_BUFFER;
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return fd;
}

// A socket made concurrently by another thread wins; ours is closed.
int shared_send_socket(State &s) {
    int fd = s.send_fd.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    int made = send_socket();
    if (made < 0) return -1;
    if (s.send_fd.compare_exchange_strong(fd, made, std::memory_order_acq_rel)) return made;
    close(made);
    return fd;
}

// Called with s.lock held.
void erase_destination(State &s, std::map<std::string, Destination>::iterator it) {
    for (const std::string &m : it->second.messages) s.queued_bytes -= m.size();
    close(it->second.fd);
    s.pending.erase(it);
    s.destinations.fetch_sub(1);
    s.drained.notify_all();
}

enum class Progress { done, blocked, short_of_buffers };

// Sends the destination's messages until its queue is empty (the entry is then gone) or the
// reader's queue is full. Only the flusher pops and erases, so `front` stays valid unlocked.
Progress flush(State &s, std::map<std::string, Destination>::iterator it) {
    Destination &d = it->second;
    for (;;) {
        const std::string *front;
        {
            std::lock_guard<std::mutex> held(s.lock);
            front = &d.messages.front();
        }
        ssize_t n = send(d.fd, front->data(), front->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        int err = n < 0 ? errno : 0;
        if (err == EINTR) continue;
        if (err == EAGAIN) return Progress::blocked;
        if (err == ENOBUFS || err == ENOMEM) return Progress::short_of_buffers;
        std::lock_guard<std::mutex> held(s.lock);
        if (err != 0) {
            // The reader is gone (ECONNREFUSED) or the socket failed: nobody can take these.
            try {
                s.dropped[it->first] += static_cast<uint32_t>(d.messages.size());
                s.any_dropped.store(true);
            } catch (const std::bad_alloc &) {
            }
            erase_destination(s, it);
            return Progress::done;
        }
        s.queued_bytes -= front->size();
        d.messages.pop_front();
        if (d.messages.empty()) {
            erase_destination(s, it);
            return Progress::done;
        }
    }
}

// Connected datagram sockets report POLLOUT only when the peer's queue has room, so one poll
// waits for every blocked reader and for news of new destinations at once.
void *flush_loop(void *) {
    State &s = state();
    std::vector<std::map<std::string, Destination>::iterator> work;
    std::vector<pollfd> fds;
    for (;;) {
        work.clear();
        int wake_fd;
        {
            std::lock_guard<std::mutex> held(s.lock);
            for (auto it = s.pending.begin(); it != s.pending.end(); ++it) work.push_back(it);
            wake_fd = s.wake_fd;
        }
        fds.clear();
        fds.push_back({wake_fd, POLLIN, 0});
        int timeout = -1;
        for (auto it : work) {
            int fd = it->second.fd;
            switch (flush(s, it)) {
                case Progress::blocked:
                    fds.push_back({fd, POLLOUT, 0});
                    break;
                case Progress::short_of_buffers:
                    timeout = RETRY_MS;
                    break;
                case Progress::done:
                    break;
            }
        }
        if (poll(fds.data(), fds.size(), timeout) > 0 && (fds[0].revents & POLLIN) != 0) {
            uint64_t count;
            (void)!read(wake_fd, &count, sizeof count);
        }
    }
    return nullptr;
}

// Called with s.lock held.
uint32_t start_flusher(State &s) {
    if (s.flusher_running) return OK;
    if (s.wake_fd < 0) {
        s.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (s.wake_fd < 0) return from_errno(errno);
    }
    // The flusher never runs a signal handler: one that wrote to a mailslot while the flusher
    // held the lock would deadlock, and the process's handlers belong to its own threads.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0) {
        err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (err == 0) err = pthread_create(&thread, &attr, flush_loop, nullptr);
        pthread_attr_destroy(&attr);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (err == 0) s.flusher_running = true;
    return from_errno(err);
}

// Called with s.lock held. Takes ownership of `fd` when it makes a new destination (else the
// caller closes it).
uint32_t enqueue(State &s, const std::string &key, int fd, const void *data, size_t len,
                 bool *took_fd) {
    *took_fd = false;
    if (len > OVERFLOW_LIMIT - s.queued_bytes) return ERR_NO_MEMORY;
    uint32_t rc = start_flusher(s);
    if (rc != OK) return rc;
    try {
        auto found = s.pending.find(key);
        if (found != s.pending.end()) {
            found->second.messages.emplace_back(static_cast<const char *>(data), len);
        } else {
            Destination d;
            d.messages.emplace_back(static_cast<const char *>(data), len);
            d.fd = fd;
            s.pending.emplace(key, std::move(d));
            s.destinations.fetch_add(1);
            *took_fd = true;
        }
    } catch (const std::bad_alloc &) {
        return ERR_NO_MEMORY;
    }
    s.queued_bytes += len;
    return OK;
}

// Queues behind the destination's waiting messages, if it has any: true when it did (rc set).
bool queue_behind(State &s, const std::string &key, const void *data, size_t len, uint32_t *rc) {
    std::lock_guard<std::mutex> held(s.lock);
    if (s.pending.find(key) == s.pending.end()) return false;
    bool took_fd;
    *rc = enqueue(s, key, -1, data, len, &took_fd);
    return true;
}

// The reader's queue (or the shared socket's send buffer) was full. A socket of our own,
// connected to the reader, tells whether the reader exists, gets its own send buffer, and is
// what the flusher keeps using when the reader's queue is the one that is full.
uint32_t send_slow(State &s, const MailslotAddress &to, const void *data, size_t len) {
    int fd = send_socket();
    if (fd < 0) return from_errno(errno);
    uint32_t rc = OK;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&to.sa), to.len) != 0) {
        rc = from_errno(errno);
    } else {
        ssize_t n;
        do n = send(fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EAGAIN) {
            bool took_fd = false;
            int wake_fd;
            {
                std::lock_guard<std::mutex> held(s.lock);
                rc = enqueue(s, key_of(to), fd, data, len, &took_fd);
                wake_fd = s.wake_fd;
            }
            // Only a new destination needs news: the flusher already polls the known ones.
            if (took_fd) {
                fd = -1;
                uint64_t one = 1;
                (void)!write(wake_fd, &one, sizeof one);
            }
        } else if (n < 0) {
            rc = write_error(errno);
        }
    }
    if (fd >= 0) close(fd);
    return rc;
}

void drain_at_exit() {
    State &s = state();
    std::unique_lock<std::mutex> held(s.lock);
    // Messages a write has accepted should reach a reader that is merely slow. A reader that
    // never reads again (or lives in this very process and has already stopped) must not hold
    // the exit hostage, hence the bound; anything still queued then is lost with the process.
    s.drained.wait_for(held, EXIT_DRAIN, [&] { return s.pending.empty(); });
}

void lock_for_fork() {
    state().lock.lock();
    state().connected_lock.lock();
}

void unlock_after_fork() {
    state().connected_lock.unlock();
    state().lock.unlock();
}

// The child has no flusher, and the queued messages are the parent's to deliver: the child
// starts empty, with a wake-up descriptor of its own once it needs one.
void forget_in_child() {
    State &s = state();
    for (auto &entry : s.pending) close(entry.second.fd);
    s.pending.clear();
    s.destinations.store(0);
    s.queued_bytes = 0;
    s.dropped.clear();
    s.any_dropped.store(false);
    s.flusher_running = false;
    if (s.wake_fd >= 0) close(s.wake_fd);
    s.wake_fd = -1;
    // A sender of the parent's may have held it at the fork; the child's own starts free (a lock
    // taken by the parent cannot be given back in the child, whose thread has another id).
    new (&s.reconnecting) std::shared_mutex();
    s.connected_lock.unlock();  // the connected sockets serve the child as they did the parent
    s.lock.unlock();
}

// connected_socket: the destination's connected socket, made on first use. -1 with errno set
// when none can be made; -1 with errno 0 when the table is full and a sendto must do.
int connected_socket(State &s, const MailslotAddress &to) {
    const std::string_view key = key_view(to);
    {
        std::lock_guard<std::mutex> held(s.connected_lock);
        auto found = s.connected.find(key);
        if (found != s.connected.end()) return found->second;
        if (s.connected.size() >= CONNECTED_MAX) {
            errno = 0;
            return -1;
        }
    }
    int fd = send_socket();
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&to.sa), to.len) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    std::lock_guard<std::mutex> held(s.connected_lock);
    try {
        auto [entry, added] = s.connected.emplace(key, fd);
        if (!added) {  // another writer connected one first
            close(fd);
            fd = entry->second;
        }
    } catch (...) {
        close(fd);
        errno = ENOMEM;
        return -1;
    }
    return fd;
}

// send_connected: a reader that has gone shows on the next send (ECONNREFUSED, then the socket
// is no longer connected): the socket is connected to whoever holds the name now, and the send
// made once more.
ssize_t send_connected(State &s, int fd, const MailslotAddress &to, const void *data, size_t len) {
    for (bool again = false;; again = true) {
        ssize_t n;
        int err;
        {
            std::shared_lock<std::shared_mutex> sending(s.reconnecting);
            do n = send(fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
            while (n < 0 && errno == EINTR);
            err = errno;
        }
        errno = err;
        if (n >= 0 || again || (err != ECONNREFUSED && err != ECONNRESET && err != ENOTCONN))
            return n;
        std::lock_guard<std::shared_mutex> connecting(s.reconnecting);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&to.sa), to.len) != 0) return -1;
    }
}

ssize_t send_unconnected(State &s, const MailslotAddress &to, const void *data, size_t len) {
    int fd = shared_send_socket(s);
    if (fd < 0) return -1;
    ssize_t n;
    do
        n = sendto(fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr *>(&to.sa), to.len);
    while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

uint32_t mailslot_dropped_to(const MailslotAddress &to) {
    State &s = state();
    if (!s.any_dropped.load()) return 0;
    std::lock_guard<std::mutex> held(s.lock);
    auto found = s.dropped.find(key_of(to));
    return found != s.dropped.end() ? found->second : 0;
}

void mailslot_send_prepare() {
    (void)state();
}

// The normal path is one send on the destination's connected socket. Writes that find queued
// messages for their destination queue behind them, so what one thread writes arrives in the
// order written.
uint32_t mailslot_send(const MailslotAddress &to, const void *data, size_t len) {
    State &s = state();
    uint32_t rc = OK;
    if (s.destinations.load() != 0 && queue_behind(s, key_of(to), data, len, &rc)) return rc;
    int fd = connected_socket(s, to);
    if (fd < 0 && errno != 0) return from_errno(errno);
    ssize_t n = fd >= 0 ? send_connected(s, fd, to, data, len) : send_unconnected(s, to, data, len);
    if (n >= 0) return OK;
    if (errno == EAGAIN) return send_slow(s, to, data, len);
    return write_error(errno);
}

}  // namespace plat
