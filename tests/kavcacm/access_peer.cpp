// access_peer.cpp — what a second user on the machine tries against a node: the access tests
// run it as that user. It prints one line of results per command and holds what it takes for
// a while, so the test can try to take the same names meanwhile.
//   access_peer list | send TASK | raw FILE | shutdown | hold TASK | hold-waits PID COUNT
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "services/kavcacm/task_client.h"

namespace {

constexpr unsigned HOLD_SECONDS = 5;

int list() {
    VULC_TASKINFO tasks[16];
    uint32_t count = 0;
    uint32_t rc = vulclisttasks(tasks, 16, &count);
    printf("rc=%u count=%u", rc, count);
    for (uint32_t i = 0; i < count && i < 16; ++i) printf(" %.8s", tasks[i].task);
    printf("\n");
    return 0;
}

// send: a header-only message to the task, from a task of the peer's own.
int send(const std::string &to) {
    kavc::TaskClient peer("PEER");
    uint32_t rc = peer.start_rc();
    if (rc == VULC_OK) rc = peer.send_bytes(to, nullptr, 0);
    printf("rc=%u\n", rc);
    return 0;
}

// raw: a hand-made stop message straight to a socket file, past the service.
int raw(const char *file) {
    unsigned char msg[120] = {};
    msg[0] = sizeof msg;
    msg[2] = 0x40, msg[3] = 0x10, msg[4] = 108, msg[6] = 1;
    msg[112] = 8, msg[114] = 0x00, msg[115] = 0x01;
    msg[116] = 4, msg[118] = 0xFF, msg[119] = 0xFF;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s", file);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ssize_t n = sendto(fd, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    printf("errno=%d\n", n < 0 ? errno : 0);
    return 0;
}

int shutdown() {
    uint32_t ended = 0;
    uint32_t rc = vulcshutdown(&ended);
    printf("rc=%u ended=%u\n", rc, ended);
    return 0;
}

int hold(const std::vector<std::string> &paths, bool mailslots) {
    unsigned held = 0;
    for (const std::string &p : paths) {
        plat::Mailslot *m = nullptr;
        uint32_t rc = mailslots ? plat::mailslot_create(p.c_str(), &m) : kavc::start(p).rc;
        if (rc == plat::OK) ++held;
    }
    printf("held=%u\n", held);
    fflush(stdout);
    sleep(HOLD_SECONDS);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "list") return list();
    if (what == "send" && argc == 3) return send(argv[2]);
    if (what == "raw" && argc == 3) return raw(argv[2]);
    if (what == "shutdown") return shutdown();
    if (what == "hold" && argc == 3) return hold({argv[2]}, false);
    if (what == "hold-waits" && argc == 4) {
        std::vector<std::string> paths;
        for (int i = 1; i <= atoi(argv[3]); ++i)
            paths.push_back(std::string("\\\\.\\MAILSLOT\\KAVCACM\\WAIT\\") + argv[2] + "." +
                            std::to_string(i));
        return hold(paths, true);
    }
    fprintf(stderr,
            "usage: access_peer list | send TASK | raw FILE | shutdown | hold TASK | "
            "hold-waits PID COUNT\n");
    return 2;
}
