/* c_header_test.c — the public header compiled as C99 on its own: its types, codes and the five
 * calls are usable from C. Run, it makes each call with arguments that every build refuses the
 * same way and exits 0 when all answer as documented. */
#include <stddef.h>
#include <stdio.h>

#include "kaviexit.h"

/* A C99 compile-time check: a negative array size when the condition fails. */
#define LAYOUT_CHECK(name, condition) typedef char layout_check_##name[(condition) ? 1 : -1]

/* On a 32-bit build the struct is the wire image: 338 packed bytes. The codec checks every field's
 * offset against the same table it encodes with. */
LAYOUT_CHECK(size, UINTPTR_MAX != 0xFFFFFFFFu || sizeof(_VULE_PARAMETERS32) == 338);
LAYOUT_CHECK(correlation, sizeof(VULE_CORRELATION) == 4);
LAYOUT_CHECK(timestamp, sizeof(VULE_TIMESTAMP) == 8);

static uint32_t KAVI_CALL never_called(_VULE_PARAMETERS32 *block) {
    return block->correlation_id.invoker_id + block->correlation_id.depth +
           block->correlation_id.numb + block->resource_status_ts.yr + block->resource_status_ts.tn;
}

static int failures = 0;

static void expect(const char *what, long got, long want) {
    if (got != want) {
        fprintf(stderr, "%s: got %ld, want %ld\n", what, got, want);
        ++failures;
    }
}

int main(void) {
    _VULE_PARAMETERS32 block = {0};
    VULE_EXIT_FUNCTION function = never_called;

    expect("KaviInitialize without a name", KaviInitialize(NULL, function), VULE_INVALID_ARGUMENT);
    expect("KaviInit with a name of 9", KaviInit("NINECHARS", function, 1), VULE_INVALID_ARGUMENT);
    expect("KaviTerminate without a name", (long)KaviTerminate(NULL), VULE_INVALID_ARGUMENT);
    expect("KaviSend without a caller", (long)KaviSend(NULL, "TARGET", " ", &block),
           VULE_INVALID_ARGUMENT);
    expect("KaviWait that polls", (long)KaviWait("C", 0), VULE_WAIT_TIMEOUT);
    return failures == 0 ? 0 : 1;
}
