// trace_items.h — the data items of this system's trace records by name: which item a record
// carries where, and the fields of the structures it records (parameter block, invocation and
// queue start records, messages, request blocks of the communication service).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "services/kavzras/record.h"
#include "tools/kavi/block_fields.h"
#include "tools/kavi/quote.h"

namespace kavitool {

// describe_item: item `index` of a record written by `function` with `kind`, as a name and a text
// and JSON form. Items that no rule knows are shown in hexadecimal, at most ITEM_HEX_MAX bytes.
PrintedField describe_item(std::string_view function, uint32_t kind, size_t index,
                           const kavz::TraceItem &item);

constexpr size_t ITEM_HEX_MAX = 64;

}  // namespace kavitool
