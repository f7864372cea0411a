// class_exit.cpp — a sample command exit written with the classes: VuleCommandExit registers it
// and ends it, VuleCommandExitParms reads each command, whose user data go back reversed.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vulece.hpp"

namespace {

bool dump = false;

// Answers a command with its user data reversed; the status is 0 for PING and QUERY, 4 for any
// other action.
uint32_t KAVI_CALL handle(_VULE_PARAMETERS32 *block) {
    VuleCommandExitParms parms(block);
    IString action = parms.getCmdAction();
    std::printf("class_exit: %s on exit %s from operator '%s', resource '%s' (type %lu)\n",
                static_cast<const char *>(action), static_cast<const char *>(parms.getCmdExit()),
                static_cast<const char *>(parms.getCmdOperator()),
                static_cast<const char *>(parms.getResDispName()), parms.getResType());
    if (dump) std::printf("class_exit: %s\n", static_cast<const char *>(parms.asDebugInfo()));
    std::fflush(stdout);

    // The answer takes the place of the data that arrived: the reply is built from them after
    // the function returns, and carries no more than arrived.
    auto *data = static_cast<unsigned char *>(parms.getUserData());
    if (data != nullptr) std::reverse(data, data + parms.getUserDataLength());
    return std::strcmp(action, "PING") == 0 || std::strcmp(action, "QUERY") == 0 ? 0 : 4;
}

int usage() {
    std::fputs(
        "usage: class_exit [--dump] EXIT_NAME\n"
        "  registers EXIT_NAME (1 to 8 characters) and answers its commands with their user\n"
        "  data reversed; --dump prints each command's parameter block\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const char *name = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dump") == 0)
            dump = true;
        else if (argv[i][0] != '-' && name == nullptr)
            name = argv[i];
        else
            return usage();
    }
    if (name == nullptr) return usage();

    try {
        VuleCommandExit exit(name, handle, 0);
        std::printf("class_exit: %s registered\n", name);
        std::fflush(stdout);
        // Ends on `kavi shutdown`, SIGINT or SIGTERM; leaving the block ends the exit.
        exit.run();
    } catch (IInvalidRequest &e) {
        // The last text says what failed: "exit NAME could not be registered: code N (...)".
        const char *why = e.textCount() > 0 ? e.text(e.textCount() - 1) : "not registered";
        std::fprintf(stderr, "class_exit: %s\n", why);
        return 1;
    }
    std::printf("class_exit: %s terminated\n", name);
    return 0;
}
