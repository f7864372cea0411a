/* dll_exports.c — the exit library's calls are found by GetProcAddress under their undecorated
 * names, as programs in other languages look them up, and each such name is the same __stdcall
 * function that the import library links a C program to. Exit code 0 when all hold. */
#include <stdio.h>
#include <windows.h>

#include "kaviexit.h"

typedef uint32_t(KAVI_CALL *TerminateCall)(const char *exitName);

int main(void) {
    static const char *const NAMES[] = {"KaviInitialize", "KaviInit", "KaviWait", "KaviTerminate",
                                        "KaviSend"};
    HMODULE library = GetModuleHandleA("kaviexit.dll");
    int failures = 0;
    if (library == NULL) {
        printf("kaviexit.dll is not loaded\n");
        return 1;
    }
    for (size_t i = 0; i < sizeof NAMES / sizeof NAMES[0]; ++i) {
        if (GetProcAddress(library, NAMES[i]) == NULL) {
            printf("%s is not exported\n", NAMES[i]);
            ++failures;
        }
    }
    /* The same call through both: an exit that was never registered, answered alike, with the
     * stack balanced (a wrong convention would corrupt it on the way back). */
    TerminateCall terminate =
        (TerminateCall)(void (*)(void))GetProcAddress(library, "KaviTerminate");
    if (terminate != NULL && terminate("NOSUCH") != KaviTerminate("NOSUCH")) {
        printf("KaviTerminate answers differently by name and through the import library\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
