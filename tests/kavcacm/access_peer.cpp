// access_peer.cpp — what a second user on the machine tries against a node; the access tests run
// it as that user. It prints one line per command, and holds what it takes for a while so the
// test can try to take the same names meanwhile.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "services/kavcacm/task_client.h"

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "", arg = argc > 2 ? argv[2] : "";
    if (what == "list") {
        VULC_TASKINFO tasks[16];
        uint32_t count = 0;
        uint32_t rc = vulclisttasks(tasks, 16, &count);
        printf("rc=%u count=%u", rc, count);
        for (uint32_t i = 0; i < count && i < 16; ++i) printf(" %.8s", tasks[i].task);
        printf("\n");
    } else if (what == "send") {  // a header-only message from a task of the peer's own
        kavc::TaskClient peer("PEER");
        printf("rc=%u\n",
               peer.start_rc() != VULC_OK ? peer.start_rc() : peer.send_bytes(arg, nullptr, 0));
    } else if (what == "raw") {  // a hand-made stop message straight to a socket file
        unsigned char msg[120] = {sizeof msg, 0, 0x40, 0x10, 108, 0, 1};
        msg[112] = 8, msg[115] = 0x01, msg[116] = 4, msg[118] = 0xFF, msg[119] = 0xFF;
        sockaddr_un to{AF_UNIX, {}};
        snprintf(to.sun_path, sizeof to.sun_path, "%s", arg.c_str());
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        ssize_t n = sendto(fd, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        printf("errno=%d\n", n < 0 ? errno : 0);
    } else if (what == "shutdown") {
        uint32_t ended = 0;
        uint32_t rc = vulcshutdown(&ended);
        printf("rc=%u ended=%u\n", rc, ended);
    } else if (what == "hold" || what == "hold-waits") {  // hold TASK | hold-waits PID COUNT
        unsigned held = 0;
        for (int i = 1; i <= (what == "hold" ? 1 : atoi(argv[3])); ++i) {
            plat::Mailslot *m = nullptr;
            std::string wait = "\\\\.\\MAILSLOT\\KAVCACM\\WAIT\\" + arg + "." + std::to_string(i);
            held += (what == "hold" ? kavc::start(arg).rc
                                    : plat::mailslot_create(wait.c_str(), &m)) == plat::OK;
        }
        printf("held=%u\n", held);
        fflush(stdout);
        sleep(5);
    } else {
        fprintf(stderr,
                "usage: access_peer list | send TASK | raw FILE | shutdown | hold TASK | "
                "hold-waits PID COUNT\n");
        return 2;
    }
    return 0;
}
