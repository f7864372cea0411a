// mailslot_names.h — how long a mailslot's NAME may be on this node: the system's limit on the
// name a mailslot gets (a socket path on POSIX, a path on Windows) less what comes before NAME.
#pragma once

#include <cstddef>

namespace kavitest {

size_t longest_mailslot_name();

}  // namespace kavitest
