/* c_header_test.c — the public header compiled as C99 on its own: its types, codes and the five
 * calls are usable from C. Run, it makes each call with arguments that every build refuses the
 * same way and exits 0 when all answer as documented. */
#include <stddef.h>
#include <stdio.h>

#include "kaviexit.h"

/* A C99 compile-time check: a negative array size when the condition fails. */
#define LAYOUT_CHECK(name, condition) typedef char layout_check_##name[(condition) ? 1 : -1]

/* On a 32-bit build the struct is the wire image: 338 packed bytes with every field in place. */
#define WIRE(field, offset) \
    LAYOUT_CHECK(field,     \
                 UINTPTR_MAX != 0xFFFFFFFFu || offsetof(_VULE_PARAMETERS32, field) == (offset))
WIRE(command_name, 0);
WIRE(command_string, 4);
WIRE(exit_name, 8);
WIRE(exit_executable_name, 17);
WIRE(exit_timeout, 26);
WIRE(wait_for_cmd_response, 30);
WIRE(want_corr_of_cmd_rsps, 32);
WIRE(correlation_id, 34);
WIRE(client_handle, 38);
WIRE(client_ip_addr, 42);
WIRE(server_ip_addr, 67);
WIRE(signon_username, 92);
WIRE(op_id, 96);
WIRE(user_data, 105);
WIRE(user_data_length, 109);
WIRE(user_ctrl_data, 111);
WIRE(user_ctrl_data_length, 115);
WIRE(OKA_menu_id, 117);
WIRE(extended_reason_code, 121);
WIRE(zerva_hostname, 125);
WIRE(zerva_ip_addr, 129);
WIRE(reserved_133, 133);
WIRE(client_hostname, 139);
WIRE(client_ip_addr_dd, 143);
WIRE(reserved_147, 147);
WIRE(display_name, 173);
WIRE(display_resource_type, 177);
WIRE(resource_type, 181);
WIRE(resource_status, 185);
WIRE(resource_status_ts, 186);
WIRE(resource_flags, 194);
WIRE(data1, 198);
WIRE(data2, 202);
WIRE(data3, 206);
WIRE(data4, 210);
WIRE(data_source, 214);
WIRE(command_indicator, 216);
WIRE(resource_VEXA_id, 218);
WIRE(user_res_data, 226);
WIRE(user_res_data_length, 230);
WIRE(res_OKA_id, 232);
WIRE(hb_source, 236);
WIRE(hb_sub_source, 240);
WIRE(hb_origin, 244);
WIRE(hb_sub_origin, 248);
WIRE(hb_hostname, 252);
WIRE(hb_es_managed_node, 256);
WIRE(business_sys_name, 260);
WIRE(OKA_data, 264);
WIRE(OKA_data_length, 268);
WIRE(resource_QOB_oid, 270);
WIRE(reserved_274, 274);
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
