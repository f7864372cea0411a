// shutdown.cpp — `kavi shutdown [--node N]`: every exit program waiting on the node returns from
// its wait (KaviWait answers 9) and can end its exits cleanly.
#include "tools/kavi/shutdown.h"

#include <cstdio>
#include <string>

#include "services/kavcacm/kavcacm.h"
#include "tools/kavi/options.h"

namespace kavitool {

namespace {

constexpr char USAGE[] =
    "usage: kavi shutdown [--node N]\n"
    "Ends every wait of the exit programs on a node, so that they end their exits and stop.\n"
    "  --node N   the node to shut down (default: KAVI_NODE, else the host name); with\n"
    "             KAVI_NATS_URL set, a node reached through NATS\n"
    "  --help     this text\n"
    "Exit codes: 0 done (also when nothing was waiting), 1 the communication service failed,\n"
    "2 usage error.\n";

}  // namespace

int shutdown_command(int argc, char **argv) {
    Options options;
    if (auto done = finish_options(argc, argv, false, USAGE, &options)) return *done;
    use_node(options.node);
    uint32_t ended = 0;
    std::string remote = remote_node(options.node);
    uint32_t rc = remote.empty() ? vulcshutdown(&ended) : vulcshutdownnode(remote.data(), &ended);
    if (rc == VULC_UNREACHABLE) {
        std::fprintf(stderr, "kavi shutdown: no process of node %s answers\n",
                     options.node.c_str());
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
