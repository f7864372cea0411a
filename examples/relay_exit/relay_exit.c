/* relay_exit.c — a sample command exit that hands every command on to another exit with
 * KaviSend, waits for its answer and answers with it: the exit-to-exit path in one program. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kaviexit.h"

static char self[9];       /* this exit's name as KaviSend wants it: upper case, padded */
static const char *target; /* the exit commands are handed to */
static const char *target_node = " "; /* blanks: this node */

/* Runs on a thread of its own for each command. KaviSend copies the answer into the block, so
 * the reply to our own sender carries what the target answered. The block is the one that
 * arrived here; the target cannot answer with more than it was sent, so the copy fits. */
static uint32_t KAVI_CALL relay(_VULE_PARAMETERS32 *block) {
    /* KaviSend names the target in exit_name and steps the depth; our own sender gets back the
     * block under the name and correlation it sent. */
    char exit_name[sizeof block->exit_name];
    VULE_CORRELATION correlation = block->correlation_id;
    uint32_t status;
    memcpy(exit_name, block->exit_name, sizeof exit_name);
    status = KaviSend(self, target, target_node, block);
    memcpy(block->exit_name, exit_name, sizeof exit_name);
    block->correlation_id = correlation;
    printf("relay_exit: %s -> %s: status %u\n",
           block->command_name ? block->command_name : "(no name)", target, (unsigned)status);
    fflush(stdout);
    return status;
}

static int usage(void) {
    fprintf(stderr,
            "usage: relay_exit EXIT_NAME TARGET_EXIT [TARGET_NODE]\n"
            "  registers EXIT_NAME (1 to 8 characters) and hands each of its commands on\n"
            "  to TARGET_EXIT, on TARGET_NODE or this node\n");
    return 2;
}

int main(int argc, char **argv) {
    const char *name;
    size_t length;
    int rc;
    if (argc < 3 || argc > 4) return usage();
    name = argv[1];
    target = argv[2];
    if (argc == 4) target_node = argv[3];
    length = strlen(name);
    if (length == 0 || length > 8) return usage();
    memset(self, ' ', 8);
    for (size_t i = 0; i < length; ++i) self[i] = (char)toupper((unsigned char)name[i]);

    rc = KaviInit(name, relay, 1);
    if (rc != VULE_OK) {
        fprintf(stderr, "relay_exit: KaviInit(%s) failed with %d\n", name, rc);
        return 1;
    }
    printf("relay_exit: %s registered, relaying to %s\n", name, target);
    fflush(stdout);
    /* Ends on `kavi shutdown`, SIGINT or SIGTERM. */
    KaviWait(name, -1);
    rc = (int)KaviTerminate(name);
    printf("relay_exit: %s terminated (%d)\n", name, rc);
    return rc == VULE_OK ? 0 : 1;
}
