// scale_row.cpp — the scale row: clients on threads of their own, each commanding its share of
// the exits in turn; the exits' process reports its memory through a page shared with it.
#include "bench/scale_row.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/baseline.h"
#include "bench/command_client.h"
#include "kaviexit.h"

namespace kavibench {

namespace {

constexpr int EXITS = 64;
constexpr int CLIENTS = 16;
constexpr int ROUNDS = 10;
constexpr int PER_CLIENT = 100;   // round trips of each client in a round
constexpr int HELD_PER_EXIT = 2;  // one in the exit function, one queued behind it
constexpr int LIMIT_MS = 10000;

// Shared by this process and the exits' process.
struct Shared {
    std::atomic<bool> holding;  // exit functions wait while it is set
    std::atomic<int> held;      // how many wait now
    std::atomic<long> rss_one;  // the exits' process with its first exit registered
    std::atomic<long> rss_all;  // and with all of them
};

Shared *exits_shared;  // the exits' process's view of it

uint32_t KAVI_CALL hold_then_answer(_VULE_PARAMETERS32 *block) {
    if (exits_shared->holding) {
        ++exits_shared->held;
        for (int ms = 0; exits_shared->holding && ms < LIMIT_MS; ++ms) usleep(1000);
        --exits_shared->held;
    }
    return keep_first_words(block);
}

std::string exit_name(int i) {
    return "BSCX" + std::to_string(i);
}

// serve: the exits' process. The first exit's registration is left out of the memory per exit:
// it also sets up the library.
int serve(Shared *shared) {
    exits_shared = shared;
    for (int i = 0; i < EXITS; ++i) {
        if (KaviInit(exit_name(i).c_str(), hold_then_answer, 0) != VULE_OK) return 1;
        if (i == 0) shared->rss_one = rss_bytes();
    }
    shared->rss_all = rss_bytes();
    KaviWait(exit_name(0).c_str(), -1);
    return 0;
}

// A client commanding its exits in turn.
struct ExitsClient {
    std::vector<std::unique_ptr<CommandClient>> commands;
    size_t next = 0;
    bool round_trip() { return commands[next++ % commands.size()]->round_trip(); }
};

// parallel: PER_CLIENT round trips of each client, each on a thread of its own; the time they
// took together added to *us, each round trip's to *samples.
template <class Client>
bool parallel(const std::vector<Client *> &clients, std::vector<double> *samples, double *us) {
    std::vector<std::vector<double>> each(clients.size());
    std::atomic<bool> ok{true};
    double begin = now_us();
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < clients.size(); ++i)
            threads.emplace_back([&, i] {
                if (!measure(*clients[i], PER_CLIENT, &each[i])) ok = false;
            });
    }
    *us += now_us() - begin;
    for (const auto &e : each) samples->insert(samples->end(), e.begin(), e.end());
    return ok;
}

}  // namespace

struct ScaleRow::Impl {
    Shared *shared;
    std::unique_ptr<ChildProcess> exits;
    std::vector<std::unique_ptr<Baseline>> pairs;
    std::vector<ExitsClient> clients;

    Impl()
        : shared(new (mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Shared{}) {}
    ~Impl() {
        clients.clear();
        exits.reset();
        munmap(shared, sizeof(Shared));
    }

    // hold: the resident memory that each command in flight adds to the exits' process, with
    // HELD_PER_EXIT sent to every exit while the exit functions wait.
    bool hold(double *bytes_per_command) {
        long idle = rss_bytes(exits->pid());
        shared->holding = true;
        bool ok = true;
        for (auto &client : clients)
            for (auto &command : client.commands)
                for (int i = 0; i < HELD_PER_EXIT; ++i) ok = command->send() && ok;
        int ms = 0;
        for (; shared->held < EXITS && ms < LIMIT_MS; ++ms) usleep(1000);
        // Meanwhile the queue threads take the commands behind the held ones off their sockets.
        usleep(100000);
        long busy = rss_bytes(exits->pid());
        shared->holding = false;
        for (auto &client : clients)
            for (auto &command : client.commands)
                for (int i = 0; i < HELD_PER_EXIT; ++i) ok = command->receive() && ok;
        *bytes_per_command = double(busy - idle) / (EXITS * HELD_PER_EXIT);
        return ok && ms < LIMIT_MS;
    }
};

ScaleRow::ScaleRow() : impl_(new Impl) {
    Shared *shared = impl_->shared;
    impl_->exits = std::make_unique<ChildProcess>([shared] { return serve(shared); });
    for (int i = 0; i < CLIENTS; ++i) impl_->pairs.push_back(std::make_unique<Baseline>());
}

ScaleRow::~ScaleRow() = default;

bool ScaleRow::run(ScaleFigures *out) {
    Impl &m = *impl_;
    m.clients.resize(CLIENTS);
    for (int e = 0; e < EXITS; ++e)
        m.clients[e % CLIENTS].commands.push_back(
            std::make_unique<CommandClient>("BSCL" + std::to_string(e), exit_name(e)));
    std::vector<ExitsClient *> exits;
    for (auto &client : m.clients) exits.push_back(&client);
    std::vector<Baseline *> pairs;
    for (auto &pair : m.pairs) pairs.push_back(pair.get());

    std::vector<double> es, bs, ignored;
    double e_us = 0, b_us = 0, ignored_us = 0;
    bool ok = parallel(exits, &ignored, &ignored_us) && parallel(pairs, &ignored, &ignored_us);
    for (int round = 0; ok && round < ROUNDS; ++round)
        ok = parallel(exits, &es, &e_us) && parallel(pairs, &bs, &b_us);
    if (!ok || !m.hold(&out->bytes_per_command)) return false;
    out->exits = summarize(es);
    out->pairs = summarize(bs);
    out->exits_ops = es.size() * 1e6 / e_us;
    out->pairs_ops = bs.size() * 1e6 / b_us;
    out->bytes_per_exit = double(m.shared->rss_all - m.shared->rss_one) / (EXITS - 1);
    return true;
}

}  // namespace kavibench
