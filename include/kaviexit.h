/* kaviexit.h — the public C interface of the command exit library: the exit parameter block,
 * the exit function type, the return and status codes, and the five calls.
 * Compiles as C99 and as C++. */
#ifndef KAVIEXIT_H
#define KAVIEXIT_H

#include <stdint.h>

#include "kaviexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Return codes of the calls. KaviInitialize and KaviInit return them as int, the others as
 *  uint32_t. The 0x8001, 0x8009 and 0x800A codes are also status codes of replies. */
enum {
    VULE_OK = 0,                     /**< success */
    VULE_NOT_CREATED = 1,            /**< the exit's mailslot could not be created, the name is
                                          already started on this node, or KAVI_NODE is longer
                                          than 24 characters */
    VULE_INVALID_ARGUMENT = 2,       /**< a null pointer, an unreadable name or field, a name of 0
                                          or more than 8 characters */
    VULE_NO_MEMORY = 3,              /**< no memory to register the exit */
    VULE_NOT_REGISTERED = 4,         /**< the exit is not registered (here or with the
                                          communication service) */
    VULE_TERMINATING = 5,            /**< KaviSend: the calling exit is terminating */
    VULE_TOO_LARGE = 6,              /**< KaviSend: the message would exceed 32,768 bytes;
                                          extended_reason_code holds its size */
    VULE_SYSTEM_ERROR = 7,           /**< a mutex, event, mailslot or thread could not be created,
                                          waited on or released, or a communication call failed */
    VULE_WAIT_TIMEOUT = 8,           /**< KaviWait: the time-out expired */
    VULE_WAIT_ENDED = 9,             /**< KaviWait: the wait ended before the time-out (node shut
                                          down, SIGINT or SIGTERM) */
    VULE_EXIT_ENDED = 0x8001,        /**< KaviSend: the calling exit ended while the call waited;
                                          reply status: the command was stopped without running,
                                          or the process ended with the command still active */
    VULE_NO_COMMAND_MEMORY = 0x8009, /**< reply status: no memory to run the command */
    VULE_NO_COMMAND_THREAD = 0x800A /**< reply status: no thread could be started for the command */
};

/* The exit parameter block. On a 32-bit build this struct is the 338-byte wire image itself:
 * byte-packed, little-endian, 4-byte pointers. On a 64-bit build it has the same fields in the
 * same order with native pointers; the library converts to and from the wire image. Text
 * pointers point at NUL-terminated text; inline texts are NUL-terminated and blank-padded;
 * fixed texts (resource_VEXA_id) are blank-padded without terminator; a data pointer and its
 * 16-bit length are independent (a null pointer may stand beside a non-zero length). The block
 * and what it points at are valid only while the exit function runs. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(push, 1)
#endif

/** correlation_id: the identity of one command instance. */
typedef struct _VULE_CORRELATION {
    uint16_t invoker_id : 4; /**< bits 0-3 of the little-endian word */
    uint16_t depth : 12;     /**< bits 4-15: stepped by each KaviSend */
    uint16_t numb;
} VULE_CORRELATION;

/** resource_status_ts: when the resource status was set. */
typedef struct _VULE_TIMESTAMP {
    uint16_t yr;
    uint8_t mo;
    uint8_t da;
    uint8_t hr;
    uint8_t mn;
    uint8_t sc;
    uint8_t tn; /**< tenths of a second */
} VULE_TIMESTAMP;

typedef struct _VULE_PARAMETERS32 {
    char *command_name;                /**< 0: the action word (element 2) */
    char *command_string;              /**< 4: full command text (element 3) */
    char exit_name[9];                 /**< 8: exit the command was routed to */
    char exit_executable_name[9];      /**< 17 */
    int32_t exit_timeout;              /**< 26: the server's time-out for this exit */
    int16_t wait_for_cmd_response;     /**< 30 */
    uint16_t want_corr_of_cmd_rsps;    /**< 32 */
    VULE_CORRELATION correlation_id;   /**< 34 */
    uint32_t client_handle;            /**< 38 */
    char client_ip_addr[25];           /**< 42 */
    char server_ip_addr[25];           /**< 67 */
    char *signon_username;             /**< 92 (element 35) */
    char op_id[9];                     /**< 96: operator identifier */
    void *user_data;                   /**< 105 (element 6) */
    uint16_t user_data_length;         /**< 109 */
    void *user_ctrl_data;              /**< 111 (element 18) */
    uint16_t user_ctrl_data_length;    /**< 115 */
    uint32_t OKA_menu_id;              /**< 117 */
    int32_t extended_reason_code;      /**< 121 */
    char *zerva_hostname;              /**< 125 (element 37) */
    char *zerva_ip_addr;               /**< 129 (element 38) */
    char reserved_133[6];              /**< 133: NUL-terminated text when used */
    char *client_hostname;             /**< 139 (element 39) */
    char *client_ip_addr_dd;           /**< 143 (element 40) */
    uint8_t reserved_147[26];          /**< 147 */
    char *display_name;                /**< 173 (element 20) */
    char *display_resource_type;       /**< 177 (element 21) */
    uint32_t resource_type;            /**< 181 */
    uint8_t resource_status;           /**< 185 */
    VULE_TIMESTAMP resource_status_ts; /**< 186 */
    uint32_t resource_flags;           /**< 194 */
    char *data1;                       /**< 198 (element 28) */
    char *data2;                       /**< 202 (element 29) */
    char *data3;                       /**< 206 (element 30) */
    char *data4;                       /**< 210 (element 31) */
    uint16_t data_source;              /**< 214 */
    uint16_t command_indicator;        /**< 216 */
    char resource_VEXA_id[8];          /**< 218: fixed text, no terminator */
    void *user_res_data;               /**< 226 (element 22) */
    uint16_t user_res_data_length;     /**< 230 */
    uint32_t res_OKA_id;               /**< 232 */
    char *hb_source;                   /**< 236 (element 23) */
    char *hb_sub_source;               /**< 240 (element 24) */
    char *hb_origin;                   /**< 244 (element 25) */
    char *hb_sub_origin;               /**< 248 (element 26) */
    char *hb_hostname;                 /**< 252 (element 27) */
    char *hb_es_managed_node;          /**< 256 (element 32) */
    char *business_sys_name;           /**< 260 (element 33) */
    void *OKA_data;                    /**< 264 (element 34) */
    uint16_t OKA_data_length;          /**< 268 */
    char *resource_QOB_oid;            /**< 270 (element 36) */
    uint8_t reserved_274[64];          /**< 274 */
} _VULE_PARAMETERS32;                  /* 338 bytes on a 32-bit build */

#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(pop)
#endif

/** The exit function: handles one command; the low 16 bits of its result are the reply's status. */
typedef uint32_t(KAVI_CALL *VULE_EXIT_FUNCTION)(_VULE_PARAMETERS32 *block);

/** Registers an exit (1 to 8 characters, any case) whose commands each run on a thread of their
 *  own. Returns VULE_OK, 1, 2, 3 or 7. */
KAVI_API int KAVI_CALL KaviInitialize(const char *exitName, VULE_EXIT_FUNCTION exitFunction);

/** As KaviInitialize; runMode 0 runs the exit's commands one after the other on one dispatcher
 *  thread, any other value one thread per command. */
KAVI_API int KAVI_CALL KaviInit(const char *exitName, VULE_EXIT_FUNCTION exitFunction,
                                uint32_t runMode);

/** Blocks the calling thread until the node is shut down, the process gets SIGINT or SIGTERM
 *  (VULE_WAIT_ENDED), or the time-out expires (VULE_WAIT_TIMEOUT). seconds < 0: no limit; the name
 *  is only traced. */
KAVI_API uint32_t KAVI_CALL KaviWait(const char *name, int32_t seconds);

/** Ends a registered exit: stops its command queue and frees its resources. Returns VULE_OK, 2,
 *  4 or 7. */
KAVI_API uint32_t KAVI_CALL KaviTerminate(const char *exitName);

/** Sends a command described by block to targetExit on targetNode (blanks: this node) and waits
 *  for its answer, which is copied back into block: each text and data area at most as long as
 *  what was sent in it, so the answer never writes beyond the caller's own areas. Every text
 *  field must be readable up to its terminator, every data field over its length; else 2.
 *  callingExit is the caller's registered name, upper case and blank-padded to 8 characters.
 *  Returns the target's status, or 2, 4, 5, 6, 7 or VULE_EXIT_ENDED. */
KAVI_API uint32_t KAVI_CALL KaviSend(const char *callingExit, const char *targetExit,
                                     const char *targetNode, _VULE_PARAMETERS32 *block);

#ifdef __cplusplus
}
#endif

#endif /* KAVIEXIT_H */
