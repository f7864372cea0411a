// slot.h — an exit slot's life (claimed by a registration, its objects created, closed once its
// queue thread has ended, given back) and the one scoped lock over the library's mutexes.
//
// Who closes what. A registration that fails after claiming a slot closes what it created and
// gives the slot back. Once the queue thread runs, the slot's objects are closed only after it
// has ended, by the last of two parties: the termination that waited for it, or the queue thread
// itself when termination could not stop it (termination gave the name back without waiting) or
// left the end to it (KaviTerminate called on the exit's own dispatcher). Whoever owns the
// mailslot closes it. A slot is claimed again only once its name is empty and its objects closed.
#pragma once

#include <cstdint>

#include "exit/exit_table.h"
#include "platform/platform.h"

namespace kavi {

// What an acquire that reports the mutex abandoned means to the caller.
enum class Abandoned {
    // What the mutex guards may be left half changed: the acquire fails, and the mutex is
    // released at once, so no later caller blocks on it for ever.
    fails,
    // The mutex is owned all the same. Only for the table of active commands: each entry is
    // written whole, and a command in it must still be answered.
    owned,
};

// Lock: holds a library mutex from its construction (when the acquire succeeds) to release()
// or its end. A null mutex (not created yet) is never held: code() is ERR_INVALID_HANDLE.
class Lock {
  public:
    explicit Lock(plat::Mutex *mutex, Abandoned abandoned = Abandoned::fails);
    ~Lock() { release(); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    bool held() const { return held_; }
    uint32_t code() const { return code_; }  // the last acquire's: 0 or why it failed
    // acquire: takes the mutex again after release(); whether it is held.
    bool acquire();
    void release();

  private:
    plat::Mutex *const mutex_;  // a copy: the slot's field may be cleared while it is held
    const Abandoned abandoned_;
    uint32_t code_ = 0;
    bool held_ = false;
};

// claim_slot: under the exit table mutex, the first free slot for the padded name, with its
// index in *index and its generation raised (returned in *generation); null when all are taken.
ExitSlot *claim_slot(const char padded[9], uint16_t *index, uint32_t *generation);
// create_slot_objects: the queue ended event, and in run mode 0 the dispatcher's objects; those
// not created stay null. 0 or the platform's code.
uint32_t create_slot_objects(ExitSlot *slot, uint32_t run_mode);
// close_slot_objects: closes each of the slot's objects that is open.
void close_slot_objects(ExitSlot *slot);
// give_back_slot: the slot is free again; its mailslot is its owner's to close.
void give_back_slot(ExitSlot *slot);
// leave_slot: the queue thread's last act on a slot claimed as `generation`: it tells the
// waiting termination that it has ended, or ends a termination that could not wait for it.
void leave_slot(ExitSlot *slot, uint32_t generation, plat::Event *queue_ended);

}  // namespace kavi
