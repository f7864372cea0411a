// owner_directory.h — the directory that holds the mailslots of every node of one owner: the
// user, or the group that KAVI_GROUP names. Its mode lets nobody else in, so the kernel itself
// keeps other users from writing to a mailslot, taking a name or looking at one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace plat {

// owner_group: true and *gid when KAVI_GROUP names a group (by name or number); read once.
bool owner_group(gid_t *gid);

// owner_directory: 0 and *path ("/tmp/kavi-<uid>", or "/tmp/kavi-g<gid>" with a group), made
// when missing (0700, or 02770 with the group). ERR_ACCESS_DENIED when it exists but belongs to
// someone else, is open to others or cannot be entered; ERR_INVALID_PARAMETER when KAVI_GROUP
// names no group; other system errors. Checked once per process; the path stays valid for ever.
uint32_t owner_directory(const std::string **path);

// owner_lock: holds the owner's lock file locked while it lives (every process of the owner
// takes turns), or holds nothing when it could not be taken (ok() false).
class OwnerLock {
  public:
    explicit OwnerLock(const std::string &directory);
    ~OwnerLock();
    OwnerLock(const OwnerLock &) = delete;
    OwnerLock &operator=(const OwnerLock &) = delete;
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

}  // namespace plat
