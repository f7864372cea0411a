// log_sentences.h — the plain sentence that ends every error-log line of this library: one table
// from call site to sentence (log_sentences.cpp), filled in with the entry's decoded items.
#pragma once

#include <cstddef>
#include <cstdint>

#include "services/kavzras/kavzras.h"

namespace kavi {

// log_error: writes the entry of call site `line` with its sentence. After count come count pairs
// (const void *data, uint32_t length), as for VULZLOGERROR; at most 4 are used.
void log_error(const char *function, uint32_t code, uint32_t reason, uint32_t line, uint32_t count,
               ...);

// describe_entry: the sentence of site `line` for this code, reason and items, written into out
// (cap bytes, terminated); false when the table has no entry for the site (out then says so).
// Allocates nothing, and reads an item only as far as the service finds it readable.
bool describe_entry(uint32_t line, uint32_t code, uint32_t reason, const VULZ_ITEM *items,
                    uint32_t count, char *out, size_t cap);

// registration_failure: what a failed registration's code tells the exit program, in words.
const char *registration_failure(uint32_t code);

// has_sentence: the table has an entry for site `line`.
bool has_sentence(uint32_t line);

}  // namespace kavi
