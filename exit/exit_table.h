// exit_table.h — the process-wide state every exit shares: the 64-slot exit table, the three
// process-wide mutexes and the local node address.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavq/kavq.h"

namespace kavi {

constexpr unsigned EXIT_SLOTS = 64;

struct ExitSlot {
    char name[9];  // padded exit name; empty: the slot is free
    plat::Mailslot *mailslot;
    plat::Event *queue_ended;
    VULC_HANDLE receive_handle;
    plat::Mutex *dispatcher_mutex;  // run mode 0 only, else null
    plat::Event *work_posted;       // run mode 0 only
    plat::Event *dispatcher_ended;  // run mode 0 only
    EXQU_LIST_HEAD work_list;
    uint32_t terminating;
    // KaviTerminate was called by the exit's own function on its dispatcher, which cannot wait
    // for itself: the queue thread ends the exit once the function has returned.
    bool stop_deferred;
    // Raised each time the slot is claimed, so a queue thread that outlives its registration
    // (its stop message could not be sent) can tell that the slot is no longer its own.
    std::atomic<uint32_t> generation;
};

extern ExitSlot exit_table[EXIT_SLOTS];

// Created on first need, never closed.
extern plat::Mutex *exit_table_mutex;
extern plat::Mutex *active_command_mutex;
extern plat::Mutex *wait_list_mutex;

// The local node address: 24 bytes and a NUL; 8 blanks until vulcchecktask first answers.
extern char local_node_address[25];

// Why a name of 1 to 8 readable characters is still refused: the reason of its error-log entry.
constexpr uint32_t NAME_RESERVED = 1;       // KAVIEXIT, the router's name
constexpr uint32_t NAME_BAD_CHARACTER = 2;  // a blank, a control character, '/' or '\\'
// name_refused: 0 when an exit may be registered under the padded name, else why not.
uint32_t name_refused(const char padded[9]);

// create_mutex_once: creates *m unless it exists; serialised, so two first registrations
// cannot both create it. 0 or the platform's code.
uint32_t create_mutex_once(plat::Mutex **m);
// make_padded_name: checks an exit name (readable, 1 to 8 characters) and writes its upper-cased
// form blank-padded to 8 characters and NUL-terminated into padded; false for an invalid name.
bool make_padded_name(const char *name, char padded[9]);
// pad_readable_name: make_padded_name for a name whose first byte is known to be readable.
bool pad_readable_name(const char *name, char padded[9]);
// service_failure: what a failed call of the communication service makes of a call's result:
// VULE_NOT_REGISTERED when the task is not started, else VULE_SYSTEM_ERROR.
uint32_t service_failure(uint32_t rc);
// copy_traced_name: up to 8 readable characters of text, for a trace record; returns how many.
uint32_t copy_traced_name(const char *text, char out[8]);

}  // namespace kavi
