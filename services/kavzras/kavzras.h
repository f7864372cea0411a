// kavzras.h — the trace and error-log service: trace records, error-log entries, pointer checks.
// Callers test the trace rule (KAVZ_TRACING) before building anything for a record. No call
// fails in a way a caller sees, and none changes the outcome of the operation it records.
#pragma once

#include <cstdint>

#include "kaviexport.h"

// The trace control block as callers read it: word 0 the mask of enabled record kinds,
// word 1 the trace level.
struct VULZ_TRACE_CONTROL {
    uint32_t mask;
    uint32_t level;
};

// One data item of an error-log entry: its address and its length in bytes.
struct VULZ_ITEM {
    const void *data;
    uint32_t length;
};

constexpr uint32_t VULZ_KIND_ENTRY = 1;
constexpr uint32_t VULZ_KIND_EXIT = 2;
constexpr uint32_t VULZ_KIND_DATA = 3;
constexpr uint32_t VULZ_MASK_DATA = 0x100;
constexpr uint32_t VULZ_MASK_ENTRY = 0x200;
constexpr uint32_t VULZ_MASK_EXIT = 0x400;
constexpr uint32_t VULZ_LEVEL = 3;  // the level every record of this system is written at

extern "C" {

// VULZINITTRACE: fills *control from the environment (KAVZ_TRACE_MASK, KAVZ_TRACE_LEVEL,
// KAVZ_TRACE_FILE) and sets it to null when tracing is off, which it is unless the mask and the
// file are both set, the mask is not 0 and the file opens; a bad setting is logged. component
// names the source in records and log lines; no options are defined (pass ""). Called at load,
// before other threads trace; a later call replaces the settings. docs/trace-format.md.
KAVI_API void VULZINITTRACE(const char *component, const char *options,
                            VULZ_TRACE_CONTROL **control);
// VULZTRACE: appends one record whole to the trace file, nothing while tracing is off. After
// count come count pairs (const void *data, uint32_t length): pass the length as a uint32_t.
// Items are recorded up to 4,096 bytes each and up to 8 of them; a null or unreadable item is
// recorded as unreadable.
KAVI_API void VULZTRACE(const char *function, uint32_t line, uint32_t kind, uint32_t level,
                        uint32_t count, ...);
// VULZFLUSHTRACE: makes the records written so far durable (a crash of the process loses
// none of them anyway; this guards against a crash of the machine).
KAVI_API void VULZFLUSHTRACE(void);
// VULZLOGERROR: one error-log line, always written, to the file KAVZ_ERRLOG names (read at
// every call) or else standard error; after count come count pairs (const void *data,
// uint32_t length), shown in hexadecimal up to 256 bytes each, up to 8 of them.
KAVI_API void VULZLOGERROR(const char *function, uint32_t code, uint32_t reason, uint32_t line,
                           uint32_t level, uint32_t count, ...);
// VULZLOGERRORTEXT: the same line as VULZLOGERROR, with the items given as an array and ended
// by msg="sentence": one plain sentence (at most 512 bytes shown) that says what failed.
KAVI_API void VULZLOGERRORTEXT(const char *function, uint32_t code, uint32_t reason, uint32_t line,
                               uint32_t level, const char *sentence, uint32_t count,
                               const VULZ_ITEM *items);
// VULZCHKPOINTER: nonzero when length bytes at address may be read, 0 otherwise; never
// faults. A null address is never readable; any other with length 0 is.
KAVI_API int VULZCHKPOINTER(const void *address, uint32_t length);
}

// The trace rule: a record of a kind whose mask bit is `kind_mask` is written only when this holds.
#define KAVZ_TRACING(control, kind_mask) \
    ((control) != nullptr && ((control)->mask & (kind_mask)) != 0 && (control)->level >= VULZ_LEVEL)
