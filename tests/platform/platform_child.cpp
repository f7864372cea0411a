// platform_child.cpp — a program the platform tests run as a child process, for what only a
// whole process shows: exit handlers, and fault points armed from the environment.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

void say_handler_ran() {
    static const char text[] = "handler ran\n";
    (void)!write(1, text, sizeof text - 1);
}

// Run with KAVI_FAULTS="mutex_create:1:2,event_create:0:all,bogus:1:1,alloc:x:1": prints each
// outcome so the test compares one line.
int report_faults() {
    for (int i = 0; i < 4; ++i) {
        plat::Mutex *m = nullptr;
        uint32_t rc = plat::mutex_create(&m);
        printf("mutex %u ", rc);
        if (rc == plat::OK) plat::mutex_close(m);
    }
    for (int i = 0; i < 3; ++i) {
        plat::Event *e = nullptr;
        printf("event %u ", plat::event_create(&e));
    }
    void *p = plat::alloc_zeroed(16);
    printf("alloc %s\n", p != nullptr ? "ok" : "null");
    plat::mem_free(p);
    return 0;
}

}  // namespace

// Modes: "return", "exit" and "_exit" register an exit handler and end that way; "faults".
int main(int argc, char **argv) {
    if (argc != 2) return 2;
    if (strcmp(argv[1], "faults") == 0) return report_faults();
    if (plat::at_exit(say_handler_ran) != plat::OK) return 3;
    if (strcmp(argv[1], "exit") == 0) exit(0);
    if (strcmp(argv[1], "_exit") == 0) _exit(0);
    return 0;
}
