// signals.cpp — the interrupt watch on POSIX: while a watch is active, SIGINT and SIGTERM (where
// the program left them at the default) write to a self-pipe, the one thing a handler may safely
// do; a reader thread turns each byte into calls of the active watches.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace plat {

struct InterruptWatch {
    InterruptFunction fn;
    void *arg;
};

namespace {

constexpr int SIGNALS[] = {SIGINT, SIGTERM};
constexpr char QUIT = 0;  // tells the reader to end; signal numbers are never 0

std::atomic<int> pipe_write{-1};

void on_signal(int sig) {
    int saved = errno;
    int fd = pipe_write.load();
    char byte = static_cast<char>(sig);
    if (fd >= 0 && write(fd, &byte, 1) < 0) {
        // A full pipe already holds a wake-up; nothing else can be done in a handler.
    }
    errno = saved;
}

struct State {
    std::mutex lock;  // guards everything below; held while watches are called
    std::vector<InterruptWatch *> watches;
    bool installed[2] = {};
    int pipe_read = -1;
    std::thread reader;
};

// Never destroyed: a signal may arrive while the process exits.
State &state() {
    static State *s = new State;
    return *s;
}

void read_loop(int fd) {
    for (;;) {
        char byte;
        ssize_t n = read(fd, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == QUIT) return;
        State &s = state();
        std::lock_guard<std::mutex> hold(s.lock);
        for (InterruptWatch *w : s.watches) w->fn(w->arg);
    }
}

// Only a default disposition is taken over: a program that chose its own handling keeps it.
void install(State &s) {
    struct sigaction ours = {};
    ours.sa_handler = on_signal;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    for (size_t i = 0; i < 2; ++i) {
        struct sigaction old = {};
        sigaction(SIGNALS[i], nullptr, &old);
        bool default_handling = (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_DFL;
        s.installed[i] = default_handling && sigaction(SIGNALS[i], &ours, nullptr) == 0;
    }
}

void restore(State &s) {
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (size_t i = 0; i < 2; ++i) {
        struct sigaction now = {};
        sigaction(SIGNALS[i], nullptr, &now);
        if (s.installed[i] && (now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == on_signal) {
            sigaction(SIGNALS[i], &dfl, nullptr);
        }
        s.installed[i] = false;
    }
}

// begin: the pipe and the reader for a period in which watches are active.
uint32_t begin(State &s) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return from_errno(errno);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);  // a handler must never block
    try {
        s.reader = std::thread(read_loop, fds[0]);
    } catch (const std::system_error &e) {
        close(fds[1]);
        close(fds[0]);
        return from_errno(e.code().value());
    }
    s.pipe_read = fds[0];
    pipe_write.store(fds[1]);
    install(s);
    return OK;
}

}  // namespace

uint32_t interrupt_watch_start(InterruptFunction fn, void *arg, InterruptWatch **out) {
    if (fn == nullptr || out == nullptr) return ERR_INVALID_PARAMETER;
    auto *w = new (std::nothrow) InterruptWatch{fn, arg};
    if (w == nullptr) return ERR_NO_MEMORY;
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    uint32_t rc = s.watches.empty() ? begin(s) : OK;
    if (rc != OK) {
        delete w;
        return rc;
    }
    s.watches.push_back(w);
    *out = w;
    return OK;
}

uint32_t interrupt_watch_stop(InterruptWatch *w) {
    if (w == nullptr) return ERR_INVALID_HANDLE;
    State &s = state();
    std::thread reader;
    int read_fd = -1, write_fd = -1;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        auto it = s.watches.begin();
        while (it != s.watches.end() && *it != w) ++it;
        if (it == s.watches.end()) return ERR_INVALID_HANDLE;
        s.watches.erase(it);
        if (s.watches.empty()) {
            restore(s);
            write_fd = pipe_write.exchange(-1);
            read_fd = s.pipe_read;
            s.pipe_read = -1;
            reader = std::move(s.reader);
        }
    }
    delete w;
    // The reader takes the lock to call watches, so it is ended and joined outside of it.
    if (reader.joinable()) {
        ssize_t n;
        do n = write(write_fd, &QUIT, 1);  // the reader drains a pipe that a flood filled
        while (n < 0 && (errno == EINTR || errno == EAGAIN));
        reader.join();
        close(write_fd);
        close(read_fd);
    }
    return OK;
}

uint32_t process_stop(uint32_t pid, const char **how) {
    // 0 and numbers that turn negative as a pid_t would name process groups, not a process.
    if (pid == 0 || pid > INT32_MAX) return ERR_INVALID_PARAMETER;
    if (how != nullptr) *how = "SIGTERM";
    if (kill(static_cast<pid_t>(pid), SIGTERM) == 0) return OK;
    return errno == ESRCH ? ERR_NOT_FOUND : from_errno(errno);
}

}  // namespace plat
