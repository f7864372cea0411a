// tasks.cpp — the process's table of started tasks.
#include "services/kavcacm/tasks.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "services/kavcacm/names.h"

namespace kavc {

namespace {

struct Table {
    // std::mutex, not plat::Mutex: no user code runs while a service lock is held, so no owner
    // can die holding one, and only exit/ must report an abandoned owner (code 105).
    std::mutex lock;
    std::vector<TaskRef> tasks;
    uintptr_t last_handle = 0;
};

// Never destroyed: calls may still arrive from other threads while the process exits.
Table &table() {
    static Table *t = new Table;
    return *t;
}

bool same_name(const char a[8], const char b[8]) {
    return std::memcmp(a, b, 8) == 0;
}

}  // namespace

Task::Task(const char task_name[8], uintptr_t task_handle, plat::Mailslot *mailslot, char *buffer)
    : handle(task_handle), inbox(mailslot), scratch(buffer) {
    canonical_name(task_name, name);
}

Task::~Task() {
    plat::mailslot_close(inbox);
    plat::mem_free(scratch);
}

uint32_t task_start(const char name[8], TaskRef *out) {
    // A failed allocation throws; until the task owns them, the inbox and scratch are given back.
    const std::string path = inbox_path(name);
    // Untouched pages of the scratch cost no memory.
    auto *scratch = static_cast<char *>(plat::alloc_zeroed(plat::MAILSLOT_MAX_MESSAGE));
    if (scratch == nullptr) return plat::ERR_NO_MEMORY;
    plat::Mailslot *inbox = nullptr;
    uint32_t rc = plat::mailslot_create(path.c_str(), &inbox);
    if (rc != plat::OK) {
        plat::mem_free(scratch);
        return rc;
    }
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    if (++t.last_handle == 0) ++t.last_handle;
    TaskRef task;
    try {
        task = std::make_shared<Task>(name, t.last_handle, inbox, scratch);
    } catch (...) {
        plat::mailslot_close(inbox);
        plat::mem_free(scratch);
        throw;
    }
    t.tasks.push_back(task);
    *out = std::move(task);
    return plat::OK;
}

bool task_stop(const char name[8]) {
    char key[8];
    canonical_name(name, key);
    TaskRef task;
    {
        Table &t = table();
        std::lock_guard<std::mutex> hold(t.lock);
        for (auto it = t.tasks.begin(); it != t.tasks.end(); ++it) {
            if (same_name((*it)->name, key)) {
                task = std::move(*it);
                t.tasks.erase(it);
                break;
            }
        }
    }
    if (task == nullptr) return false;
    task->stopped.store(true);
    // A thread blocked waiting on the inbox holds a reference; one byte wakes it to see the stop.
    if (task.use_count() > 1) plat::mailslot_write(inbox_path(name).c_str(), "", 1);
    return true;
}

TaskRef task_find(const char name[8]) {
    char key[8];
    canonical_name(name, key);
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    for (const TaskRef &task : t.tasks) {
        if (same_name(task->name, key)) return task;
    }
    return nullptr;
}

TaskRef task_by_handle(uintptr_t handle) {
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    for (const TaskRef &task : t.tasks) {
        if (task->handle == handle) return task;
    }
    return nullptr;
}

bool task_started_here(const char name[8]) {
    return task_find(name) != nullptr;
}

}  // namespace kavc
