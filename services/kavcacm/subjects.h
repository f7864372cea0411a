// subjects.h — the NATS subjects under which a node's tasks and the node itself are reached.
// Node addresses and task names become single subject tokens: what is not a letter, a digit, a
// hyphen or an underscore (blanks, '.', '*', '>', binary bytes) is written as %XX, so no two
// addresses share a subject and none can act as a wildcard.
#pragma once

#include <string>

namespace kavc {

// subject_token: the token for a node address (24 bytes: text up to its padding, or a binary
// address whole) or a task name (8 bytes, up to its padding).
std::string node_token(const char node[24]);
std::string task_token(const char task[8]);

// "kavi.task.<node>.<task>": where a task's messages go.
std::string task_subject(const std::string &node_tok, const std::string &task_tok);
// "kavi.list.<node>", "kavi.shutdown.<node>": requests every process of the node answers.
std::string list_subject(const std::string &node_tok);
std::string shutdown_subject(const std::string &node_tok);
// "kavi.nodes": the request every connected process answers with its node address.
constexpr char NODES_SUBJECT[] = "kavi.nodes";

}  // namespace kavc
