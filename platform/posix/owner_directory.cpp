// owner_directory.cpp — the owner's directory under /tmp: made atomically with its final mode,
// and trusted only after its owner, group and mode have been checked, since anybody may make a
// directory of that name in /tmp first.
#include "platform/posix/owner_directory.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace plat {
namespace {

constexpr char BASE[] = "/tmp/kavi-";
constexpr size_t NAME_BUFFER = 1 << 16;

struct Group {
    bool configured = false;  // KAVI_GROUP is set
    bool known = false;       // and names a group
    gid_t gid = 0;
};

Group read_group() {
    Group g;
    std::string value;
    if (!env_get("KAVI_GROUP", &value) || value.empty()) return g;
    g.configured = true;
    char *end = nullptr;
    unsigned long number = strtoul(value.c_str(), &end, 10);
    if (*end == '\0' && value[0] >= '0' && value[0] <= '9') {
        g.known = true;
        g.gid = static_cast<gid_t>(number);
        return g;
    }
    std::vector<char> text(NAME_BUFFER);
    group entry;
    group *found = nullptr;
    if (getgrnam_r(value.c_str(), &entry, text.data(), text.size(), &found) == 0 && found) {
        g.known = true;
        g.gid = found->gr_gid;
    }
    return g;
}

const Group &configured_group() {
    static const Group g = read_group();
    return g;
}

// A directory of the group may have been made by any member of it: only members (and root) can
// give a directory that group.
bool member_of(uid_t uid, gid_t gid) {
    if (uid == 0 || uid == geteuid()) return true;
    std::vector<char> text(NAME_BUFFER);
    passwd user;
    passwd *found_user = nullptr;
    if (getpwuid_r(uid, &user, text.data(), text.size(), &found_user) != 0 || !found_user)
        return false;
    if (user.pw_gid == gid) return true;
    std::vector<char> group_text(NAME_BUFFER);
    group entry;
    group *found = nullptr;
    if (getgrgid_r(gid, &entry, group_text.data(), group_text.size(), &found) != 0 || !found)
        return false;
    for (char **member = entry.gr_mem; *member != nullptr; ++member) {
        if (strcmp(*member, user.pw_name) == 0) return true;
    }
    return false;
}

// trusted: the directory is a real directory (no link), nobody outside the owner can enter it
// or write to it, and this process can use it.
uint32_t trusted(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return from_errno(errno);
    if (!S_ISDIR(st.st_mode)) return ERR_ACCESS_DENIED;
    const Group &g = configured_group();
    bool owned = g.configured ? st.st_gid == g.gid && (st.st_mode & S_IRWXO) == 0 &&
                                    member_of(st.st_uid, g.gid)
                              : st.st_uid == geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
    if (!owned) return ERR_ACCESS_DENIED;
    if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0)
        return ERR_ACCESS_DENIED;
    return OK;
}

// A group directory is made under a temporary name, given its group and mode, and only then
// renamed into place, so that nobody ever sees it half made.
uint32_t make_group_directory(const std::string &path, gid_t gid) {
    std::string temporary = path + ".XXXXXX";
    if (mkdtemp(temporary.data()) == nullptr) return from_errno(errno);
    uint32_t rc = OK;
    if (chown(temporary.c_str(), static_cast<uid_t>(-1), gid) != 0 ||
        chmod(temporary.c_str(), S_ISGID | S_IRWXU | S_IRWXG) != 0 ||
        renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        rc = errno == EEXIST ? OK : from_errno(errno);
        rmdir(temporary.c_str());
    }
    return rc;
}

uint32_t prepare(const std::string &path) {
    const Group &g = configured_group();
    uint32_t rc = OK;
    if (g.configured) {
        rc = make_group_directory(path, g.gid);
    } else if (mkdir(path.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        rc = from_errno(errno);
    }
    return rc == OK ? trusted(path) : rc;
}

std::string directory_path() {
    const Group &g = configured_group();
    if (!g.configured) return BASE + std::to_string(geteuid());
    return g.known ? BASE + ("g" + std::to_string(g.gid)) : std::string();
}

}  // namespace

bool owner_group(gid_t *gid) {
    const Group &g = configured_group();
    if (g.known) *gid = g.gid;
    return g.known;
}

uint32_t owner_directory(const std::string **path) {
    static const std::string directory = directory_path();
    static std::atomic<bool> ready{false};
    if (directory.empty()) return ERR_INVALID_PARAMETER;
    if (!ready.load(std::memory_order_acquire)) {
        uint32_t rc = prepare(directory);
        if (rc != OK) return rc;
        ready.store(true, std::memory_order_release);
    }
    *path = &directory;
    return OK;
}

OwnerLock::OwnerLock(const std::string &directory) {
    std::string path = directory + "/.lock";
    fd_ = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IRGRP);
    if (fd_ < 0) return;
    int rc;
    do rc = flock(fd_, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd_);
        fd_ = -1;
    }
}

OwnerLock::~OwnerLock() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace plat
