// mailslot_names_posix.cpp — a mailslot is the socket "/tmp/kavi-<uid>/<node>.<NAME>", whose path
// fits 107 bytes.
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/support/mailslot_names.h"

namespace kavitest {

size_t longest_mailslot_name() {
    return 107 -
           (strlen("/tmp/kavi-/.") + std::to_string(geteuid()).size() + plat::node_name().size());
}

}  // namespace kavitest
