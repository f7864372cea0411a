// node.cpp — the local node's name: KAVI_NODE or else the host name, upper-cased, at most 24
// characters, read once per process.
#include <string>

#include "platform/common/backend.h"
#include "platform/platform.h"

namespace plat {
namespace {

constexpr size_t NODE_NAME_MAX = 24;

// A node name is the node address without its blank padding. A host name longer than that is cut
// (a KAVI_NODE that long is refused by node_name_too_long's callers before anything is created).
std::string normalized(std::string name) {
    if (name.size() > NODE_NAME_MAX) name.resize(NODE_NAME_MAX);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    upper_case(name.data());
    return name;
}

// An empty (or all-blank) KAVI_NODE counts as unset: a node address of 24 blanks names no node.
// Any byte may stand in a node name: each backend builds its mailslot addresses so that no node's
// address prefix can match another node's names.
std::string read_node_name() {
    std::string value;
    if (env_get("KAVI_NODE", &value)) {
        std::string name = normalized(value);
        if (!name.empty()) return name;
    }
    std::string name = normalized(host_name());
    return name.empty() ? "LOCALHOST" : name;
}

}  // namespace

const std::string &node_name() {
    static const std::string name = read_node_name();
    return name;
}

bool node_name_too_long() {
    static const bool too_long = [] {
        std::string value;
        if (!env_get("KAVI_NODE", &value)) return false;
        size_t last = value.find_last_not_of(' ');
        return last != std::string::npos && last + 1 > NODE_NAME_MAX;
    }();
    return too_long;
}

}  // namespace plat
