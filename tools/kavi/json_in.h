// json_in.h — a flat JSON object read as field settings, so that what `kavi send --json` printed
// can be sent again (`kavi send --json-in FILE|-`).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavitool {

// read_json_fields: the members of one JSON object, in order, as (name, value text) pairs:
// strings unescaped, numbers and true/false as written; members whose value is null are left
// out (the field stays unset); the members of a nested object (correlation_id) are given one by
// one under their own names. False and *error for anything else.
bool read_json_fields(std::string_view json, std::vector<std::pair<std::string, std::string>> *out,
                      std::string *error);

}  // namespace kavitool
