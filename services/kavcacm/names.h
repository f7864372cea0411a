// names.h — task names, node addresses and the mailslot paths the service derives from them.
#pragma once

#include <cstdint>
#include <string>

namespace kavc {

constexpr char TASK_PREFIX[] = "\\\\.\\MAILSLOT\\KAVCACM\\TASK\\";
constexpr char WAIT_PREFIX[] = "\\\\.\\MAILSLOT\\KAVCACM\\WAIT\\";
constexpr char ROUTER[8] = {'K', 'A', 'V', 'I', 'E', 'X', 'I', 'T'};

// task_name_ok: 1 to 8 printable characters, then blanks (or NULs) up to 8; no path separators.
bool task_name_ok(const char name[8]);
// canonical_name: the name as the service keys it: upper-cased, blank-padded.
void canonical_name(const char name[8], char out[8]);
// task_name_text: the name without its padding.
std::string task_name_text(const char name[8]);
// pad_name: text of 1 to 8 characters (up to a NUL within max bytes), upper-cased and
// blank-padded into out; false when empty or too long.
bool pad_name(const char *text, size_t max, char out[8]);
// InboxPath: the path of a task's inbox in a buffer of its own, so that a send, which needs one
// every time, allocates nothing for it.
struct InboxPath {
    char text[sizeof TASK_PREFIX + 8];
    const char *c_str() const { return text; }
};
InboxPath inbox_path_of(const char name[8]);
std::string inbox_path(const char name[8]);
// local_node: the local node address, 24 bytes blank-padded (no terminator).
const char *local_node();
// node_is_local: whether a destination node address names this node. Text addresses compare
// without regard to case or trailing blanks; binary ones (first four bytes 0xFF) byte by byte.
bool node_is_local(const char node[24]);

}  // namespace kavc
