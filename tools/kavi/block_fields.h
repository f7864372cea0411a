// block_fields.h — the parameter block by field name, as an operator types and reads it: setting a
// field from text, and printing every field as text lines or as one JSON object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kaviexit.h"

namespace kavitool {

// A block to send, with the storage its text and data fields point at.
struct OutgoingBlock {
    _VULE_PARAMETERS32 block{};
    std::vector<std::string> texts;  // one per field, kept alive for the pointers
    std::vector<std::vector<uint8_t>> data;
    OutgoingBlock();
    OutgoingBlock(const OutgoingBlock &) = delete;
    OutgoingBlock &operator=(const OutgoingBlock &) = delete;
};

// set_field: sets the field called name (lower case, e.g. "display_name", "exit_timeout",
// "resource_status_ts", "correlation_id", "invoker_id") from value; data fields take
// hexadecimal digits and set their length too. False and *error for an unknown name or a value
// that does not fit the field.
bool set_field(OutgoingBlock *out, const std::string &name, const std::string &value,
               std::string *error);

// field_names: every name set_field takes, in block order, comma-separated.
std::string field_names();

// One field as printed: its name, its text form, and its JSON form.
struct PrintedField {
    std::string name;
    std::string text;
    std::string json;
};
// print_fields: every field of a received block, in block order (reserved bytes left out).
std::vector<PrintedField> print_fields(const _VULE_PARAMETERS32 &block);

std::string hex(const uint8_t *bytes, size_t count);

}  // namespace kavitool
