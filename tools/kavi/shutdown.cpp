// shutdown.cpp — `kavi shutdown [EXIT] [--node N]`: without EXIT, every exit program waiting on the
// node returns from its wait (KaviWait answers 9) and can end its exits cleanly. With EXIT, only
// the program that holds that exit is asked to stop, the way a service manager stops it (SIGTERM;
// on Windows, an event named after the process), which ends its wait as the node's shutdown
// would. A program's wait belongs to the whole program, so its other exits stop with it; kavi
// says which, and how it asked.
#include "tools/kavi/shutdown.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "tools/kavi/client.h"

namespace kavitool {

namespace {

constexpr OptionSpec OPTIONS[] = {
    timeout_option("with EXIT: how long to wait for it to go (default 10)"),
    NODE_OPTION,
};

std::vector<VULC_TASKINFO> node_tasks() {
    std::vector<VULC_TASKINFO> tasks(256);
    uint32_t count = 0;
    if (vulclisttasks(tasks.data(), static_cast<uint32_t>(tasks.size()), &count) != VULC_OK)
        count = 0;
    tasks.resize(std::min<size_t>(count, tasks.size()));
    return tasks;
}

std::string trimmed(const char *s, size_t n) {
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
    return std::string(s, n);
}

bool started(const char padded[8]) {
    for (const VULC_TASKINFO &t : node_tasks())
        if (memcmp(t.task, padded, 8) == 0) return true;
    return false;
}

int stop_one(const Args &args) {
    std::string text = args.value("timeout", "10");
    char *end = nullptr;
    double timeout = strtod(text.c_str(), &end);
    if (*end != '\0' || !(timeout > 0 && timeout <= 86400))
        return usage_error(SHUTDOWN_SPEC, "--timeout takes seconds above 0, not " + text);
    char padded[8];
    pad(args.operand(), padded, 8);
    std::string name = trimmed(padded, 8);
    uint32_t pid = 0;
    std::vector<VULC_TASKINFO> tasks = node_tasks();
    for (const VULC_TASKINFO &t : tasks)
        if (memcmp(t.task, padded, 8) == 0) pid = t.pid;
    if (pid == 0) {
        bool there = started(padded);
        std::fprintf(stderr, "kavi shutdown: %s\n",
                     there ? ("cannot stop " + name +
                              " alone: the node does not tell which process holds it; "
                              "kavi shutdown without EXIT stops every exit program")
                                 .c_str()
                           : ("exit " + name +
                              " is not started on this node (kavi list lists "
                              "the exits)")
                                 .c_str());
        return there ? EXIT_FAILED : EXIT_NOT_STARTED;
    }
    std::string others;
    for (const VULC_TASKINFO &t : tasks)
        if (t.pid == pid && memcmp(t.task, padded, 8) != 0) others += " " + trimmed(t.task, 8);
    const char *how = nullptr;
    if (uint32_t rc = plat::process_stop(pid, &how); rc != plat::OK) {
        std::fprintf(stderr, "kavi shutdown: cannot stop process %u, which holds %s: %s\n", pid,
                     name.c_str(), plat::error_text(rc));
        return EXIT_FAILED;
    }
    std::printf("asked process %u, which holds %s, to stop (%s)%s%s\n", pid, name.c_str(), how,
                others.empty() ? "" : "; it also holds", others.c_str());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (started(padded)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "kavi shutdown: %s is still started after %g s\n", name.c_str(),
                         timeout);
            return EXIT_TIMED_OUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("%s stopped\n", name.c_str());
    return EXIT_OK;
}

}  // namespace

const CommandSpec SHUTDOWN_SPEC = {
    "shutdown",
    "EXIT",
    "stop only the exit program that holds this exit",
    true,
    "end the waits of a node's exit programs, or of the one that holds EXIT",
    "Without EXIT: ends every wait of the exit programs on a node, so that they end their exits\n"
    "and stop. With EXIT: asks the program that holds EXIT to stop as a service manager would\n"
    "(SIGTERM; on Windows, an event named after the process), which ends its wait the same way,\n"
    "and waits until EXIT is gone; the program's other exits stop with it.\n",
    OPTIONS,
    "Exit codes: 0 done (also when nothing was waiting), 1 the communication service failed or\n"
    "the program cannot be stopped, 2 usage error, 3 EXIT is not started, 4 EXIT did not go.\n",
};

int shutdown_command(const Args &args) {
    if (!use_node(args.value("node"))) return EXIT_USAGE;
    std::string remote = remote_node(args.value("node"));
    if (!args.operand().empty()) {
        // A process is stopped by its id, which only its own node can use.
        if (!remote.empty())
            return usage_error(SHUTDOWN_SPEC,
                               "EXIT is stopped on this node only; without EXIT, --node " +
                                   args.value("node") + " ends every wait there");
        return stop_one(args);
    }
    uint32_t ended = 0;
    uint32_t rc = remote.empty() ? vulcshutdown(&ended) : vulcshutdownnode(remote.data(), &ended);
    if (rc == VULC_UNREACHABLE) {
        std::fprintf(stderr, "kavi shutdown: no process of node %s answers\n",
                     args.value("node").c_str());
        return EXIT_FAILED;
    }
    std::printf("%u wait%s ended\n", ended, ended == 1 ? "" : "s");
    if (rc != VULC_OK) {
        std::fprintf(stderr,
                     "kavi shutdown: the communication service failed (see the error log)\n");
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace kavitool
