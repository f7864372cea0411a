// trace_signatures.h — what each data item of this system's trace records is: its name and the
// form its bytes take, as the exit library's trace calls write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavitool {

enum class Form {
    hex,
    text,
    u16,
    i16,
    u32,
    i32,
    address,      // a pointer or handle of the writing process: only its value means anything
    correlation,  // a correlation or wait-list key
    block,        // the 338-byte wire image of the parameter block
    native_block,
    invocation,
    queue_start,
    message,
    request,  // a request block of the communication service
};

struct ItemSpec {
    const char *name;
    Form form;
};

// spec_of: item `index` of a record that `function` wrote with `kind`, or null when no record of
// this system has such an item.
const ItemSpec *spec_of(std::string_view function, uint32_t kind, size_t index);

}  // namespace kavitool
