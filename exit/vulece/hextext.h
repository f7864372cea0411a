// hextext.h — the hexadecimal form the printable texts use for numbers and addresses.
#pragma once

#include <cstdint>

#include "istring.hpp"

namespace kavi {

// Upper-case digits, an even number of them, no leading zero byte: 0 gives "00", 0x12FF40
// gives "12FF40". Addresses take their full native width.
inline IString hexText(unsigned long value) {
    return IString(value).decimalToHex();
}

inline IString hexText(const void *address) {
    return hexText(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
}

}  // namespace kavi
