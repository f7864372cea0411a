// mailslot_names_win32.cpp — a mailslot is "\\.\mailslot\kavi\<node>\<NAME>", the node escaped,
// shorter than MAX_PATH.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/mailslot_address.h"
#include "tests/support/mailslot_names.h"

namespace kavitest {

size_t longest_mailslot_name() {
    const std::string node = plat::mailslot_escape(plat::node_name(), true);
    return MAX_PATH - 1 - (strlen("\\\\.\\mailslot\\kavi\\\\") + node.size());
}

}  // namespace kavitest
