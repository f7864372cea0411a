/* echo_exit.c — a sample command exit: it answers every command with the fields it received,
 * changed so that the change shows, and stops when its node is shut down or it gets SIGTERM. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kaviexit.h"

/* A field goes back at most as long as it arrived, so changes made in place always fit. */
static void upper_case(char *text) {
    for (; text != NULL && *text != '\0'; ++text) *text = (char)toupper((unsigned char)*text);
}

static void reverse(char *text) {
    size_t n = text != NULL ? strlen(text) : 0;
    for (size_t i = 0; i < n / 2; ++i) {
        char c = text[i];
        text[i] = text[n - 1 - i];
        text[n - 1 - i] = c;
    }
}

/* The status is the command name read as a number ("0", "42", "0x8000"), 0 for any other name. */
static uint32_t status_of(const char *command_name) {
    char *end = NULL;
    unsigned long value;
    if (command_name == NULL || *command_name == '\0') return 0;
    value = strtoul(command_name, &end, 0);
    return *end == '\0' ? (uint32_t)value : 0;
}

/* Runs on a thread of its own for each command (or on the dispatcher in run mode 0); it keeps
 * no state, so commands running at once need no lock. */
static uint32_t KAVI_CALL echo(_VULE_PARAMETERS32 *block) {
    unsigned char *data = (unsigned char *)block->user_data;
    printf("echo_exit: %s: %s\n", block->command_name ? block->command_name : "(no name)",
           block->command_string ? block->command_string : "(no text)");
    fflush(stdout);
    upper_case(block->command_string);
    reverse(block->display_name);
    for (uint16_t i = 0; data != NULL && i < block->user_data_length; ++i) data[i] ^= 0xFF;
    /* Inline texts are blank-padded before their terminator. */
    memcpy(block->op_id, "ECHOED  ", 9);
    block->extended_reason_code = block->exit_timeout;
    return status_of(block->command_name);
}

static int usage(void) {
    fprintf(stderr,
            "usage: echo_exit [--run-mode N] EXIT_NAME\n"
            "  registers EXIT_NAME (1 to 8 characters) and answers its commands;\n"
            "  run mode 0 runs them one after the other, any other one at a time each\n");
    return 2;
}

int main(int argc, char **argv) {
    const char *name = NULL;
    uint32_t run_mode = 1;
    int rc;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--run-mode") == 0 && i + 1 < argc)
            run_mode = (uint32_t)strtoul(argv[++i], NULL, 0);
        else if (argv[i][0] != '-' && name == NULL)
            name = argv[i];
        else
            return usage();
    }
    if (name == NULL) return usage();

    rc = KaviInit(name, echo, run_mode);
    if (rc != VULE_OK) {
        fprintf(stderr, "echo_exit: KaviInit(%s) failed with %d\n", name, rc);
        return 1;
    }
    printf("echo_exit: %s registered, run mode %u\n", name, (unsigned)run_mode);
    fflush(stdout);
    /* Ends on `kavi shutdown`, SIGINT or SIGTERM. */
    KaviWait(name, -1);
    rc = (int)KaviTerminate(name);
    printf("echo_exit: %s terminated (%d)\n", name, rc);
    return rc == VULE_OK ? 0 : 1;
}
