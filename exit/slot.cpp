// slot.cpp — an exit slot's life and the library's scoped lock; the rule of who closes what is
// at the head of slot.h.
#include "exit/slot.h"

#include <cstring>

#include "exit/termination.h"

namespace kavi {

Lock::Lock(plat::Mutex *mutex, Abandoned abandoned) : mutex_(mutex), abandoned_(abandoned) {
    acquire();
}

bool Lock::acquire() {
    if (mutex_ == nullptr) {
        code_ = plat::ERR_INVALID_HANDLE;
        return false;
    }
    code_ = plat::mutex_acquire(mutex_, plat::WAIT_FOREVER);
    held_ = code_ == plat::OK || (code_ == plat::ABANDONED && abandoned_ == Abandoned::owned);
    if (code_ == plat::ABANDONED && !held_) plat::mutex_release(mutex_);
    return held_;
}

void Lock::release() {
    if (held_) plat::mutex_release(mutex_);
    held_ = false;
}

// A slot is free once its name is empty and no queue thread is still attached to it (a queue
// thread that termination could not stop closes the slot's objects itself when it ends).
ExitSlot *claim_slot(const char padded[9], uint16_t *index, uint32_t *generation) {
    for (uint16_t i = 0; i < EXIT_SLOTS; ++i) {
        ExitSlot &slot = exit_table[i];
        if (slot.name[0] != '\0' || slot.queue_ended != nullptr) continue;
        memcpy(slot.name, padded, sizeof slot.name);
        slot.terminating = 0;
        slot.stop_deferred = false;
        *generation = slot.generation.fetch_add(1) + 1;
        *index = i;
        return &slot;
    }
    return nullptr;
}

uint32_t create_slot_objects(ExitSlot *slot, uint32_t run_mode) {
    slot->queue_ended = nullptr;
    slot->work_posted = nullptr;
    slot->dispatcher_ended = nullptr;
    slot->dispatcher_mutex = nullptr;
    uint32_t rc = plat::event_create(&slot->queue_ended);
    if (rc == plat::OK && run_mode == 0) rc = plat::event_create(&slot->work_posted);
    if (rc == plat::OK && run_mode == 0) rc = plat::event_create(&slot->dispatcher_ended);
    if (rc == plat::OK && run_mode == 0) rc = plat::mutex_create(&slot->dispatcher_mutex);
    return rc;
}

void close_slot_objects(ExitSlot *slot) {
    if (slot->queue_ended != nullptr) plat::event_close(slot->queue_ended);
    if (slot->work_posted != nullptr) plat::event_close(slot->work_posted);
    if (slot->dispatcher_ended != nullptr) plat::event_close(slot->dispatcher_ended);
    if (slot->dispatcher_mutex != nullptr) plat::mutex_close(slot->dispatcher_mutex);
    slot->queue_ended = nullptr;
    slot->work_posted = nullptr;
    slot->dispatcher_ended = nullptr;
    slot->dispatcher_mutex = nullptr;
}

void give_back_slot(ExitSlot *slot) {
    slot->mailslot = nullptr;
    slot->name[0] = '\0';
}

void leave_slot(ExitSlot *slot, uint32_t generation, plat::Event *queue_ended) {
    Lock lock(exit_table_mutex);
    // A slot claimed again meanwhile is no longer this thread's to touch.
    if (slot->generation.load() != generation) return;
    if (lock.held() && slot->stop_deferred) {
        end_deferred_termination(slot);
    } else if (lock.held() && slot->name[0] == '\0') {
        close_slot_objects(slot);  // termination could not wait: the objects are left to us
    } else {
        plat::event_set(queue_ended);
    }
}

}  // namespace kavi
