// mailslot_names_win32.cpp — a mailslot is "\\.\mailslot\kavi\<node>\<NAME>" and has an entry
// "<temp>kavi\<node>\<NAME>" in the node's registry, the node and NAME escaped: both paths must
// be shorter than MAX_PATH.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/mailslot_address.h"
#include "tests/support/mailslot_names.h"

namespace kavitest {

size_t longest_mailslot_name() {
    const size_t node = plat::mailslot_escape(plat::node_name(), true).size();
    char temp[MAX_PATH + 1] = {};
    const size_t temp_len = GetTempPathA(sizeof temp, temp);
    const size_t mailslot_before = strlen("\\\\.\\mailslot\\kavi\\\\") + node;
    const size_t entry_before = temp_len + strlen("kavi\\\\") + node;
    return MAX_PATH - 1 - std::max(mailslot_before, entry_before);
}

}  // namespace kavitest
